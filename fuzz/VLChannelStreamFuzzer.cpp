// Feeds an arbitrary daemon byte stream to a real channel over a socket pair: framing by the
// length in each header, reply matching by `unique`, notifications, duplicate and unknown
// replies, lengths beyond the largest message, a stream cut inside a message, and the daemon's
// death or the channel's close at the end. A model reads the same bytes the way the protocol
// says they must be read and predicts each request's outcome; the channel must agree, and no
// request and no close() may hang.
#include "Platform/Foundation/FileHandle.h"
#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/POSIXErrorCode.h"
#include "Platform/Tasks/Spawn.h"
#include "VLChannel/Channel.h"
#include "VLChannel/SocketTransportMedium.h"

#include "Require.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace vl;
using Bytes = std::vector<std::uint8_t>;

// How one request ended, as text: "reply <payload bytes>", "posix <errno>" or "closed".
std::string outcomeOf(tasks::TaskHandle<Reply>& waiting)
{
    try {
        Reply reply = tasks::runBlocking(waiting.value());
        std::string text = "reply ";
        for (const DiscontiguousData::Region& region : reply.data().regions())
            text.append(reinterpret_cast<const char*>(region.bytes().data()), region.bytes().size());
        return text;
    } catch (const foundation::POSIXError& error) {
        return "posix " + std::to_string(error.errnoCode());
    } catch (const Channel::Error& error) {
        return error.what();
    }
}

std::string errorOutcome(std::int32_t error)
{
    std::int32_t code = error == INT_MIN ? posix::enxio : -error;
    return "posix " + std::to_string(posix::isDarwinErrno(code) ? code : posix::enxio);
}

void writeAll(int descriptor, const Bytes& bytes)
{
    std::size_t written = 0;
    while (written < bytes.size()) {
        ssize_t count = ::send(descriptor, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL);
        if (count <= 0)
            return;
        written += static_cast<std::size_t>(count);
    }
}

void readExactly(int descriptor, std::size_t count)
{
    std::vector<std::uint8_t> buffer(count);
    std::size_t got = 0;
    while (got < count) {
        ssize_t result = ::read(descriptor, buffer.data() + got, count - got);
        require(result > 0);
        got += static_cast<std::size_t>(result);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    FuzzedDataProvider provider(data, size);
    int ends[2];
    require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) == 0);
    int daemon = ends[1];
    auto channel = std::make_shared<Channel>(
        std::make_unique<SocketTransportMedium>(std::make_shared<foundation::FileHandle>(ends[0])));
    tasks::runBlocking(channel->open());

    int requestCount = provider.ConsumeIntegralInRange(1, 6);
    std::vector<std::uint64_t> uniques;
    std::vector<tasks::TaskHandle<Reply>> waiting;
    std::size_t requestBytes = 0;
    for (int index = 0; index < requestCount; ++index) {
        Request request(FUSE_GETATTR, 1, 0, 0, 0, Request::Part::managed<fuse_getattr_in>());
        uniques.push_back(request.unique());
        requestBytes += static_cast<std::size_t>(request.data().count());
        waiting.push_back(tasks::spawn(channel->process(std::move(request))));
    }
    // Every request is registered once its bytes have arrived.
    readExactly(daemon, requestBytes);

    // The daemon's stream, and the model's reading of it.
    Bytes stream;
    std::map<std::size_t, std::string> expected;
    std::string end = "connected";
    while (provider.remaining_bytes() > 0 && end == "connected") {
        int target = provider.ConsumeIntegralInRange(0, requestCount + 1);
        std::uint64_t unique = target == 0 ? 0
            : target <= requestCount       ? uniques[target - 1]
                                           : provider.ConsumeIntegral<std::uint64_t>();
        std::int32_t error = provider.ConsumeBool() ? 0 : provider.ConsumeIntegral<std::int32_t>();
        Bytes payload = provider.ConsumeBytes<std::uint8_t>(provider.ConsumeIntegralInRange(0, 48));
        std::uint32_t length = static_cast<std::uint32_t>(sizeof(fuse_out_header) + payload.size());
        if (provider.ConsumeIntegralInRange(0, 7) == 0)
            length = provider.ConsumeIntegral<std::uint32_t>();
        fuse_out_header header { .len = length, .error = error, .unique = unique };
        const auto* headerBytes = reinterpret_cast<const std::uint8_t*>(&header);
        stream.insert(stream.end(), headerBytes, headerBytes + sizeof header);
        if (length > Channel::maximumMessageLength) {
            end = "posix " + std::to_string(posix::eproto);
            break;
        }
        // The reader takes len - 16 bytes as the body (none for a len of 16 or less).
        std::size_t body = length > sizeof header ? length - sizeof header : 0;
        if (body < payload.size())
            payload.resize(body);
        stream.insert(stream.end(), payload.begin(), payload.end());
        if (body > payload.size()) {
            if (body - payload.size() > 4096) {
                // The daemon dies inside the message.
                end = "cut";
                break;
            }
            Bytes filler(body - payload.size(), 0x5a);
            stream.insert(stream.end(), filler.begin(), filler.end());
            payload.insert(payload.end(), filler.begin(), filler.end());
        }
        for (std::size_t index = 0; index < uniques.size(); ++index)
            if (unique != 0 && uniques[index] == unique && !expected.contains(index))
                expected[index] = error == 0 ? "reply " + std::string(payload.begin(), payload.end())
                                             : errorOutcome(error);
    }
    bool dies = end != "connected" || provider.ConsumeBool();
    writeAll(daemon, stream);
    if (dies)
        ::shutdown(daemon, SHUT_RDWR);
    std::string rest = end.starts_with("posix") ? end
        : dies                                  ? "posix " + std::to_string(posix::enotconn)
                                                : "closed";

    // Requests the stream settles end before close; the others end with the stream's end, which
    // a dying daemon brings before close, while close brings it for a daemon that lives on.
    for (auto& [index, outcome] : expected)
        require(outcomeOf(waiting[index]) == outcome);
    if (dies) {
        for (std::size_t index = 0; index < waiting.size(); ++index)
            if (!expected.contains(index))
                require(outcomeOf(waiting[index]) == rest);
    }
    tasks::runBlocking(channel->close());
    for (std::size_t index = 0; index < waiting.size(); ++index)
        if (!expected.contains(index))
            require(outcomeOf(waiting[index]) == rest);
    ::close(daemon);
    return 0;
}
