#include "VLChannel/DiscontiguousData.h"

#include "Platform/OS/FatalError.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vl {
namespace {

[[noreturn]] void outOfRange()
{
    fatalError("Fatal error", "VLChannel/DiscontiguousData");
}

} // namespace

DiscontiguousData::Region DiscontiguousData::Region::operator[](IndexRange<std::ptrdiff_t> range) const
{
    if (range.lowerBound < 0 || range.upperBound > count() || range.count() <= 0)
        outOfRange();
    return Region(keepAlive,
        view.subspan(static_cast<std::size_t>(range.lowerBound), static_cast<std::size_t>(range.count())));
}

DiscontiguousData::Deallocator DiscontiguousData::Deallocator::free()
{
    return Deallocator([](void* base, std::ptrdiff_t) { std::free(base); });
}

DiscontiguousData::Deallocator DiscontiguousData::Deallocator::none()
{
    return Deallocator(Release());
}

DiscontiguousData::Deallocator DiscontiguousData::Deallocator::custom(Release release)
{
    return Deallocator(std::move(release));
}

void DiscontiguousData::append(const Region& region)
{
    if (region.count() < 1)
        return;
    totalCount += region.count();
    if (spilledRegions.empty() && inlineCount < inlineCapacity) {
        inlineRegions[inlineCount++] = region;
        return;
    }
    if (spilledRegions.empty()) {
        spilledRegions.reserve(2 * inlineCapacity);
        for (Region& inlineRegion : inlineRegions)
            spilledRegions.push_back(std::exchange(inlineRegion, Region()));
        inlineCount = 0;
    }
    spilledRegions.push_back(region);
}

void DiscontiguousData::append(std::span<const Region> regions)
{
    for (const Region& region : regions)
        append(region);
}

std::shared_ptr<std::byte[]> DiscontiguousData::allocate(std::ptrdiff_t count, bool zero)
{
    if (count < 0)
        outOfRange();
    if (count == 0)
        return nullptr;
    // One allocation holds both the reference count and the bytes.
    std::size_t size = static_cast<std::size_t>(count);
    return zero ? std::make_shared<std::byte[]>(size) : std::make_shared_for_overwrite<std::byte[]>(size);
}

void DiscontiguousData::appendBuffer(void* base, std::ptrdiff_t count, Deallocator deallocator)
{
    if (base == nullptr)
        fatalError("Buffer has no base address", "VLChannel/DiscontiguousData");
    Region::Owner owner;
    if (deallocator.release)
        owner = Region::Owner(base, [release = std::move(deallocator.release), count](const void* memory) {
            release(const_cast<void*>(memory), count);
        });
    // An empty buffer is released at once, with its owner, since no region keeps it.
    append(Region(std::move(owner),
        std::span<const std::byte>(static_cast<const std::byte*>(base), static_cast<std::size_t>(count))));
}

DiscontiguousData DiscontiguousData::operator[](IndexRange<std::ptrdiff_t> range) const
{
    if (range.lowerBound < 0 || range.upperBound > count() || range.lowerBound > range.upperBound)
        outOfRange();
    DiscontiguousData result;
    if (range.isEmpty())
        return result;
    std::span<const Region> all = regions();

    std::size_t first = 0;
    std::ptrdiff_t start = range.lowerBound;
    while (start >= all[first].count())
        start -= all[first++].count();

    std::size_t last = first;
    std::ptrdiff_t end = start + range.count();
    while (end > all[last].count())
        end -= all[last++].count();

    if (first == last) {
        result.append(all[first][{ start, end }]);
    } else {
        result.append(all[first].from(start));
        result.append(all.subspan(first + 1, last - first - 1));
        result.append(all[last].upTo(end));
    }
    if (result.count() != range.count())
        outOfRange();
    return result;
}

void DiscontiguousData::copyBytes(std::ptrdiff_t offset, std::span<std::byte> destination) const
{
    std::ptrdiff_t wanted = static_cast<std::ptrdiff_t>(destination.size());
    if (offset < 0 || offset > count() || wanted > count() - offset)
        outOfRange();
    std::size_t copied = 0;
    std::ptrdiff_t skip = offset;
    for (const Region& region : regions()) {
        if (copied == destination.size())
            break;
        if (skip >= region.count()) {
            skip -= region.count();
            continue;
        }
        std::span<const std::byte> source = region.bytes().subspan(static_cast<std::size_t>(skip));
        skip = 0;
        std::size_t length = std::min(source.size(), destination.size() - copied);
        std::memcpy(destination.data() + copied, source.data(), length);
        copied += length;
    }
    if (copied != destination.size())
        outOfRange();
}

std::optional<std::span<const std::byte>> DiscontiguousData::directBytes(
    IndexRange<std::ptrdiff_t> range) const
{
    if (range.lowerBound < 0 || range.upperBound > count() || range.lowerBound > range.upperBound)
        outOfRange();
    if (range.isEmpty())
        return std::span<const std::byte>();
    std::ptrdiff_t start = range.lowerBound;
    for (const Region& region : regions()) {
        if (start < region.count()) {
            if (range.count() > region.count() - start)
                return std::nullopt;
            return region.bytes().subspan(
                static_cast<std::size_t>(start), static_cast<std::size_t>(range.count()));
        }
        start -= region.count();
    }
    outOfRange();
}

DiscontiguousData::ContiguousCopy::ContiguousCopy(
    const DiscontiguousData& data, IndexRange<std::ptrdiff_t> range)
{
    std::size_t size = static_cast<std::size_t>(range.count());
    std::byte* buffer = inlineBuffer.data();
    if (size > inlineBuffer.size()) {
        heapBuffer = std::make_unique_for_overwrite<std::byte[]>(size);
        buffer = heapBuffer.get();
    }
    view = { buffer, size };
    data.copyBytes(range.lowerBound, { buffer, size });
}

} // namespace vl
