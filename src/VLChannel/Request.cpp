#include "VLChannel/Request.h"

#include "Platform/OS/FatalError.h"
#include "VLFoundation/Protected.h"

namespace vl {
namespace {

constexpr std::byte nullByteStorage[1] = { std::byte { 0 } };

} // namespace

constinit const DiscontiguousData::Region Request::Part::nullByte { std::span<const std::byte>(
    nullByteStorage) };

Request::Part Request::Part::managed(std::ptrdiff_t byteCount, Initializer initializer)
{
    if (byteCount < 0)
        fatalError("Fatal error", "VLChannel/Message");
    return Part(Managed { byteCount, std::move(initializer) });
}

std::ptrdiff_t Request::Part::count() const
{
    if (const Managed* managed = std::get_if<Managed>(&content))
        return managed->byteCount;
    return std::get<DiscontiguousData>(content).count();
}

std::uint64_t Request::Unique::next()
{
    static Protected<std::uint64_t> counter(1);
    return counter.withLock([](std::uint64_t& current) {
        std::uint64_t issued = current;
        current = successor(issued);
        return issued;
    });
}

Request::Request(fuse_opcode operation, std::uint64_t node, std::uint32_t user, std::uint32_t group,
    std::uint32_t process, std::span<const Part> parts)
    : Request(Unique::next(), operation, node, user, group, process, parts)
{
}

Request::Request(std::uint64_t unique, fuse_opcode operation, std::uint64_t node, std::uint32_t user,
    std::uint32_t group, std::uint32_t process, std::span<const Part> parts)
    : Message(encode(
        { .opcode = operation, .unique = unique, .nodeid = node, .uid = user, .gid = group, .pid = process },
        parts))
    , requestUnique(unique)
{
}

Request Request::destroy()
{
    return Request(FUSE_DESTROY, 1, 0, 0, 0);
}

Request Request::statfs()
{
    return Request(FUSE_STATFS, 1, 0, 0, 0);
}

DiscontiguousData Request::encode(fuse_in_header header, std::span<const Part> parts)
{
    std::uint64_t length = sizeof(fuse_in_header);
    for (const Part& part : parts)
        length += static_cast<std::uint64_t>(part.count());
    if (length > std::numeric_limits<std::uint32_t>::max())
        fatalError("Request length does not fit in 32 bits", "VLChannel/Message");
    header.len = static_cast<std::uint32_t>(length);

    DiscontiguousData data;
    std::size_t next = 0;
    bool headerWritten = false;
    while (!headerWritten || next < parts.size()) {
        // A maximal run of managed parts, headed by the header in the first run, shares one buffer.
        std::size_t runEnd = next;
        std::ptrdiff_t runCount = headerWritten ? 0 : static_cast<std::ptrdiff_t>(sizeof header);
        while (runEnd < parts.size() && parts[runEnd].isManaged())
            runCount += parts[runEnd++].count();
        data.append(runCount, true, [&](std::span<std::byte> run) {
            std::size_t offset = 0;
            if (!headerWritten) {
                std::memcpy(run.data(), &header, sizeof header);
                offset = sizeof header;
            }
            for (std::size_t index = next; index < runEnd; ++index) {
                const Part::Managed& managed = std::get<Part::Managed>(parts[index].content);
                std::size_t count = static_cast<std::size_t>(managed.byteCount);
                if (managed.initializer)
                    managed.initializer(run.subspan(offset, count));
                offset += count;
            }
        });
        headerWritten = true;
        next = runEnd;
        if (next < parts.size())
            data.append(std::get<DiscontiguousData>(parts[next++].content).regions());
    }
    return data;
}

} // namespace vl
