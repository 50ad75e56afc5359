// Feeds arbitrary daemon bytes to the message layer. The input chooses a payload, how it is cut
// into regions (each in an allocation of its own, so the sanitizer sees any read past a region's
// end) and a sequence of consuming operations. Every result is checked against the uncut bytes:
// values read, sub-ranges, classification, the read position after a failure, and the
// directory-entry walk.
#include "VLChannel/Channel.h"
#include "VLChannel/DirectoryEntry.h"
#include "VLChannel/Reply.h"

#include "Require.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

namespace {

using namespace vl;
using Bytes = std::vector<std::uint8_t>;

DiscontiguousData::Region ownedRegion(const std::uint8_t* begin, std::size_t count)
{
    auto storage = std::make_shared<Bytes>(begin, begin + count);
    return { storage, std::as_bytes(std::span(*storage)) };
}

DiscontiguousData cut(const Bytes& bytes, FuzzedDataProvider& provider)
{
    DiscontiguousData data;
    std::size_t start = 0;
    int cuts = provider.ConsumeIntegralInRange(0, 6);
    for (int index = 0; index < cuts && start < bytes.size(); ++index) {
        std::size_t length = provider.ConsumeIntegralInRange<std::size_t>(0, bytes.size() - start);
        data.append(ownedRegion(bytes.data() + start, length));
        start += length;
    }
    data.append(ownedRegion(bytes.data() + start, bytes.size() - start));
    require(data.count() == static_cast<std::ptrdiff_t>(bytes.size()));
    return data;
}

bool matches(std::span<const std::byte> view, const Bytes& bytes, std::size_t offset)
{
    return view.size() <= bytes.size() - offset
        && (view.empty() || std::memcmp(view.data(), bytes.data() + offset, view.size()) == 0);
}

template <typename Value> void readValue(Reply& reply, const Bytes& bytes)
{
    std::size_t offset = static_cast<std::size_t>(reply.consumedCount());
    reply.consumePart<Value>(
        [&](const Value& value) { require(matches(std::as_bytes(std::span(&value, 1)), bytes, offset)); });
}

void consumeOperations(Reply& reply, const Bytes& bytes, FuzzedDataProvider& provider)
{
    for (int step = 0; step < 24 && provider.remaining_bytes() > 0; ++step) {
        std::ptrdiff_t before = reply.consumedCount();
        std::ptrdiff_t byteCount = provider.ConsumeIntegralInRange<std::ptrdiff_t>(0, reply.count() + 8);
        try {
            switch (provider.ConsumeIntegralInRange(0, 8)) {
            case 0:
                reply.consumePart(byteCount);
                break;
            case 1:
                reply.consumePart(byteCount, [&](std::span<const std::byte> view) {
                    require(static_cast<std::ptrdiff_t>(view.size()) == byteCount);
                    require(matches(view, bytes, static_cast<std::size_t>(before)));
                });
                break;
            case 2:
                readValue<fuse_entry_out>(reply, bytes);
                break;
            case 3:
                readValue<fuse_open_out>(reply, bytes);
                break;
            case 4:
                readValue<fuse_attr_out>(reply, bytes);
                break;
            case 5:
                readValue<fuse_statfs_out>(reply, bytes);
                break;
            case 6:
                readValue<std::uint8_t>(reply, bytes);
                break;
            case 7:
                reply.reset();
                break;
            case 8: {
                Reply copy = reply;
                std::move(copy).consume([&](std::span<const std::byte> view) {
                    require(static_cast<std::ptrdiff_t>(view.size()) == reply.unconsumedCount());
                    require(matches(view, bytes, static_cast<std::size_t>(before)));
                });
                break;
            }
            }
        } catch (const ConsumableError&) {
            require(reply.consumedCount() == before);
        }
        require(reply.consumedCount() <= reply.count());
    }
}

void checkSubRanges(const DiscontiguousData& data, const Bytes& bytes, FuzzedDataProvider& provider)
{
    for (int step = 0; step < 4 && provider.remaining_bytes() > 0; ++step) {
        std::ptrdiff_t lower = provider.ConsumeIntegralInRange<std::ptrdiff_t>(0, data.count());
        std::ptrdiff_t upper = provider.ConsumeIntegralInRange<std::ptrdiff_t>(lower, data.count());
        DiscontiguousData part = data[{ lower, upper }];
        require(part.count() == upper - lower);
        for (const DiscontiguousData::Region& region : part.regions())
            require(region.count() > 0);
        part.withUnsafeBytes([&](std::span<const std::byte> view) {
            require(matches(view, bytes, static_cast<std::size_t>(lower)));
        });
        if (upper - lower >= 8) {
            std::ptrdiff_t offset = provider.ConsumeIntegralInRange<std::ptrdiff_t>(0, upper - lower - 8);
            part.withUnsafeValue<std::uint64_t>(offset, [&](std::uint64_t value) {
                require(matches(
                    std::as_bytes(std::span(&value, 1)), bytes, static_cast<std::size_t>(lower + offset)));
            });
        }
    }
}

void checkClassification(const DiscontiguousData& message, const Bytes& bytes)
{
    if (bytes.size() < sizeof(fuse_out_header))
        return;
    fuse_out_header header;
    std::memcpy(&header, bytes.data(), sizeof header);
    Channel::MessageType type = Channel::MessageType::classify(message);
    if (header.unique == 0) {
        auto* notification = std::get_if<Channel::MessageType::Notification>(&type.value);
        require(notification
            && notification->type == static_cast<fuse_notify_code>(static_cast<std::uint32_t>(header.error)));
    } else {
        auto* reply = std::get_if<Channel::MessageType::Reply>(&type.value);
        require(reply && reply->unique == header.unique);
        require(header.error == std::numeric_limits<std::int32_t>::min() ? reply->error == ENXIO
                                                                         : reply->error == -header.error);
    }
}

void walkDirectory(const DiscontiguousData& payload, const Bytes& bytes)
{
    Reply reply(1, payload);
    try {
        while (true) {
            std::ptrdiff_t start = reply.consumedCount();
            std::optional<DirectoryEntry> entry = DirectoryEntry::consumeNext(reply);
            if (!entry) {
                require(reply.unconsumedCount() <= static_cast<std::ptrdiff_t>(sizeof(fuse_dirent)));
                break;
            }
            require(entry->name.size() == entry->dirent.namelen);
            require(matches(std::as_bytes(std::span(entry->name)), bytes,
                static_cast<std::size_t>(start) + sizeof(fuse_dirent)));
            require((reply.consumedCount() - start) % 8 == 0
                && reply.consumedCount() - start >= static_cast<std::ptrdiff_t>(sizeof(fuse_dirent)));
        }
    } catch (const ConsumableError&) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size)
{
    FuzzedDataProvider provider(input, size);
    Bytes bytes = provider.ConsumeBytes<std::uint8_t>(provider.ConsumeIntegralInRange<std::size_t>(0, 4096));
    DiscontiguousData data = cut(bytes, provider);

    checkClassification(data, bytes);
    walkDirectory(data, bytes);
    checkSubRanges(data, bytes, provider);
    Reply reply(1, data);
    consumeOperations(reply, bytes, provider);
    return 0;
}
