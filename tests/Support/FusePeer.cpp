#include "Support/FusePeer.h"

#include "Platform/Foundation/DescriptorIO.h"
#include "Platform/Foundation/POSIXError.h"
#include "Support/WaitUntil.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testing_support {
namespace {

constexpr std::size_t requestHeaderCount = sizeof(vl::fuse_in_header);

std::vector<std::byte> outMessage(
    std::uint64_t unique, std::int32_t error, std::span<const std::byte> payload)
{
    vl::fuse_out_header header {};
    header.len = static_cast<std::uint32_t>(sizeof header + payload.size());
    header.error = error;
    header.unique = unique;
    std::vector<std::byte> message(header.len);
    std::memcpy(message.data(), &header, sizeof header);
    std::ranges::copy(payload, message.begin() + sizeof header);
    return message;
}

// Reads exactly `buffer.size()` bytes; false when the stream ends (or fails) first.
bool readExactly(int descriptor, std::span<std::byte> buffer)
{
    try {
        return foundation::readCompletely(descriptor, buffer) == buffer.size();
    } catch (const foundation::POSIXError&) {
        return false;
    }
}

bool writeExactly(int descriptor, std::span<const std::byte> bytes)
{
    try {
        foundation::writeCompletely(descriptor, bytes);
        return true;
    } catch (const foundation::POSIXError&) {
        return false;
    }
}

// Waits until the other end has read everything written to `descriptor` (or has gone away).
void waitUntilConsumed(int descriptor)
{
    waitUntil([descriptor] {
        int unread = 0;
        return ::ioctl(descriptor, SIOCOUTQ, &unread) != 0 || unread == 0;
    });
}

} // namespace

std::vector<std::byte> bytesOf(std::string_view text)
{
    const auto* begin = reinterpret_cast<const std::byte*>(text.data());
    return std::vector<std::byte>(begin, begin + text.size());
}

std::vector<std::byte> bytesOf(std::span<const std::byte> bytes)
{
    return std::vector<std::byte>(bytes.begin(), bytes.end());
}

std::vector<std::byte> bytesOf(const vl::DiscontiguousData& data)
{
    return data.withUnsafeBytes(
        [](std::span<const std::byte> bytes) { return std::vector<std::byte>(bytes.begin(), bytes.end()); });
}

std::vector<std::byte> replyMessage(std::uint64_t unique, std::span<const std::byte> payload)
{
    return outMessage(unique, 0, payload);
}

void writeFuseRequest(int socket, std::uint32_t opcode, std::uint64_t unique, std::uint64_t nodeid,
    std::span<const std::byte> body, std::optional<std::uint32_t> length)
{
    vl::fuse_in_header header {};
    header.len = length.value_or(static_cast<std::uint32_t>(sizeof header + body.size()));
    header.opcode = opcode;
    header.unique = unique;
    header.nodeid = nodeid;
    std::vector<std::byte> bytes = bytesOf(header);
    bytes.insert(bytes.end(), body.begin(), body.end());
    foundation::writeCompletely(socket, bytes);
}

FuseReply readFuseReply(int socket)
{
    FuseReply reply;
    if (!readExactly(socket, std::as_writable_bytes(std::span(&reply.header, 1)))
        || reply.header.len < sizeof reply.header)
        throw std::runtime_error("no FUSE reply header");
    reply.payload.resize(reply.header.len - sizeof reply.header);
    if (!readExactly(socket, reply.payload))
        throw std::runtime_error("no FUSE reply payload");
    return reply;
}

vl::fuse_init_out initializeFuse(int socket, std::uint64_t unique)
{
    vl::fuse_init_in offer { .major = 7,
        .minor = 19,
        .max_readahead = vl::FUSE_VOLUME_MAX_READAHEAD,
        .flags = vl::FUSE_INIT_VOLUME_OFFER };
    writeFuseRequest(socket, vl::FUSE_INIT, unique, 0, bytesOf(offer));
    FuseReply reply = readFuseReply(socket);
    if (reply.header.unique != unique || reply.header.error != 0
        || reply.payload.size() != sizeof(vl::fuse_init_out))
        throw std::runtime_error("FUSE_INIT was not answered with a fuse_init_out");
    vl::fuse_init_out answer {};
    std::memcpy(&answer, reply.payload.data(), sizeof answer);
    return answer;
}

bool destroyFuse(int socket, std::uint64_t unique)
{
    writeFuseRequest(socket, vl::FUSE_DESTROY, unique, 1);
    FuseReply reply = readFuseReply(socket);
    return reply.header.unique == unique && reply.header.error == 0;
}

vl::fuse_in_header FuseRequest::header() const
{
    vl::fuse_in_header header {};
    std::memcpy(&header, wire.data(), std::min(sizeof header, wire.size()));
    return header;
}

std::span<const std::byte> FuseRequest::body() const
{
    if (wire.size() <= requestHeaderCount)
        return {};
    return std::span<const std::byte>(wire).subspan(requestHeaderCount);
}

std::span<const std::byte> FuseRequest::requireBody(std::size_t offset, std::size_t count) const
{
    std::span<const std::byte> whole = body();
    if (offset > whole.size() || count > whole.size() - offset)
        throw std::out_of_range("the request body is shorter than asked for");
    return whole.subspan(offset, count);
}

std::string FuseRequest::bodyString(std::size_t offset) const
{
    std::size_t available = body().size();
    std::span<const std::byte> rest = requireBody(offset, offset <= available ? available - offset : 0);
    auto end = std::find(rest.begin(), rest.end(), std::byte { 0 });
    return std::string(
        reinterpret_cast<const char*>(rest.data()), static_cast<std::size_t>(end - rest.begin()));
}

FuseAnswer FuseAnswer::reply(std::vector<std::byte> payload)
{
    return FuseAnswer(Step { [payload = std::move(payload)](const FuseRequest& request) {
        return replyMessage(request.unique(), payload);
    } });
}

FuseAnswer FuseAnswer::error(std::int32_t errnoValue)
{
    return FuseAnswer(Step {
        [errnoValue](const FuseRequest& request) { return outMessage(request.unique(), -errnoValue, {}); } });
}

FuseAnswer FuseAnswer::raw(std::vector<std::byte> bytes)
{
    return FuseAnswer(Step { [bytes = std::move(bytes)](const FuseRequest&) { return bytes; } });
}

FuseAnswer FuseAnswer::then(FuseAnswer next) &&
{
    steps.insert(
        steps.end(), std::make_move_iterator(next.steps.begin()), std::make_move_iterator(next.steps.end()));
    return std::move(*this);
}

FusePeer::FusePeer()
{
    int descriptors[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, descriptors) != 0)
        throw std::runtime_error("socketpair failed");
    channelEnd = std::make_shared<foundation::FileHandle>(descriptors[0]);
    peerDescriptor = descriptors[1];
    thread = std::thread([this] { serve(); });
}

FusePeer::~FusePeer()
{
    closeConnection();
    thread.join();
    ::close(peerDescriptor);
}

std::shared_ptr<foundation::FileHandle> FusePeer::takeChannelEnd()
{
    if (!channelEnd)
        throw std::logic_error("the channel end has been taken already");
    return std::move(channelEnd);
}

void FusePeer::on(vl::fuse_opcode opcode, Handler handler)
{
    std::lock_guard guard(mutex);
    handlers[opcode] = std::move(handler);
}

void FusePeer::onAnyOther(Handler handler)
{
    std::lock_guard guard(mutex);
    fallback = std::move(handler);
}

std::vector<FuseRequest> FusePeer::requests() const
{
    std::lock_guard guard(mutex);
    return received;
}

void FusePeer::waitUntilSeen(const std::function<bool()>& seen) const
{
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, waitLimit, seen))
        throw std::runtime_error("the peer did not see what the test waits for");
}

FuseRequest FusePeer::waitForRequest(std::size_t index) const
{
    waitForRequestCount(index + 1);
    std::lock_guard guard(mutex);
    return received[index];
}

void FusePeer::waitForRequestCount(std::size_t count) const
{
    waitUntilSeen([&] { return received.size() >= count; });
}

void FusePeer::waitUntilDisconnected() const
{
    waitUntilSeen([&] { return disconnected; });
}

void FusePeer::reply(std::uint64_t unique, std::span<const std::byte> payload)
{
    write(replyMessage(unique, payload));
}

void FusePeer::notify(vl::fuse_notify_code code, std::span<const std::byte> payload)
{
    write(outMessage(0, static_cast<std::int32_t>(code), payload));
}

void FusePeer::write(std::span<const std::byte> bytes)
{
    writeInPieces(bytes, 0);
}

void FusePeer::writeInPieces(std::span<const std::byte> bytes, std::size_t pieceSize)
{
    std::lock_guard guard(writeMutex);
    writeLocked(bytes, pieceSize);
}

void FusePeer::stopReceiving()
{
    ::shutdown(peerDescriptor, SHUT_RD);
}

void FusePeer::closeConnection()
{
    ::shutdown(peerDescriptor, SHUT_RDWR);
}

void FusePeer::writeLocked(std::span<const std::byte> bytes, std::size_t pieceSize)
{
    if (pieceSize == 0) {
        writeExactly(peerDescriptor, bytes);
        return;
    }
    for (std::size_t offset = 0; offset < bytes.size(); offset += pieceSize) {
        if (!writeExactly(peerDescriptor, bytes.subspan(offset, std::min(pieceSize, bytes.size() - offset))))
            return;
        waitUntilConsumed(peerDescriptor);
    }
}

bool FusePeer::readRequest(std::vector<std::byte>& bytes)
{
    bytes.resize(requestHeaderCount);
    if (!readExactly(peerDescriptor, bytes))
        return false;
    vl::fuse_in_header header;
    std::memcpy(&header, bytes.data(), sizeof header);
    if (header.len <= requestHeaderCount)
        return true;
    bytes.resize(header.len);
    return readExactly(peerDescriptor, std::span<std::byte>(bytes).subspan(requestHeaderCount));
}

void FusePeer::answer(const FuseAnswer& answer, const FuseRequest& request)
{
    std::lock_guard guard(writeMutex);
    for (const FuseAnswer::Step& step : answer.steps)
        writeLocked(step.message(request), 0);
}

void FusePeer::serve()
{
    for (;;) {
        std::vector<std::byte> bytes;
        if (!readRequest(bytes))
            break;
        FuseRequest request(std::move(bytes));
        Handler handler;
        {
            std::lock_guard guard(mutex);
            received.push_back(request);
            changed.notify_all();
            auto found = handlers.find(request.opcode());
            handler = found != handlers.end() ? found->second : fallback;
        }
        if (handler)
            answer(handler(request), request);
    }
    std::lock_guard guard(mutex);
    disconnected = true;
    changed.notify_all();
}

} // namespace testing_support
