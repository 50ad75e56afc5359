#include "VLChannel/DiscontiguousData.h"

#include "ByteHelpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace vl {
namespace {

using test::Bytes;
using test::bytesOf;
using test::regionCounts;
using test::regionOf;
using test::sequence;
using Region = DiscontiguousData::Region;

// Regions of 16 and 144 bytes holding 0, 1, 2, ... 159: the shape of a received reply.
DiscontiguousData headerAndBody()
{
    return test::splitAt(sequence(160), { 16 });
}

bool sameOwner(const Region& first, const Region& second)
{
    return !first.owner().owner_before(second.owner()) && !second.owner().owner_before(first.owner());
}

TEST(DiscontiguousDataTest, NeverStoresAnEmptyRegion)
{
    Region empty = regionOf(Bytes {});
    DiscontiguousData data(empty, regionOf(sequence(5)), empty);
    EXPECT_EQ(regionCounts(data), std::vector<std::ptrdiff_t> { 5 });
    EXPECT_EQ(data.count(), 5);

    data.append(empty);
    std::vector<Region> list { empty, regionOf(sequence(3)), Region() };
    data.append(list);
    EXPECT_EQ(regionCounts(data), (std::vector<std::ptrdiff_t> { 5, 3 }));
    EXPECT_EQ(regionCounts(DiscontiguousData(list)), std::vector<std::ptrdiff_t> { 3 });
    EXPECT_EQ(data.count(), 8);
}

// Whether `count` bytes at `begin` lie inside the memory of one of `data`'s regions.
bool liesInside(const std::byte* begin, std::ptrdiff_t count, const DiscontiguousData& data)
{
    return std::ranges::any_of(data.regions(), [&](const Region& whole) {
        return begin >= whole.bytes().data() && begin + count <= whole.bytes().data() + whole.count();
    });
}

// Whether every region of `slice` is a slice of one of `data`'s regions: nothing was copied.
bool isSliceOf(const DiscontiguousData& slice, const DiscontiguousData& data)
{
    return std::ranges::all_of(slice.regions(), [&](const Region& part) {
        return liesInside(part.bytes().data(), part.count(), data)
            && std::ranges::any_of(
                data.regions(), [&](const Region& whole) { return sameOwner(part, whole); });
    });
}

TEST(DiscontiguousDataTest, SubRangesAreSlicesOfTheRegionsTheyCoverAndNeverEmptyOnes)
{
    // Ranges of the bytes 0, 1, 2, ... of a value cut into regions at `cuts`.
    struct Case {
        std::vector<std::size_t> cuts;
        std::size_t total;
        std::ptrdiff_t begin, end;
        std::vector<std::ptrdiff_t> counts;
    };
    const std::vector<std::size_t> reply { 16 }, many { 5, 15, 25, 30 };
    const std::vector<Case> cases {
        { reply, 160, 16, 160, { 144 } },
        { reply, 160, 20, 30, { 10 } },
        { reply, 160, 10, 20, { 6, 4 } },
        { many, 40, 3, 27, { 2, 10, 10, 2 } },
        { many, 40, 5, 25, { 10, 10 } },
        { many, 40, 0, 6, { 5, 1 } },
        { many, 40, 14, 40, { 1, 10, 5, 10 } },
        { reply, 160, 0, 0, {} },
        { reply, 160, 5, 5, {} },
        { reply, 160, 16, 16, {} },
        { reply, 160, 160, 160, {} },
    };
    for (const Case& c : cases) {
        DiscontiguousData data = test::splitAt(sequence(c.total), c.cuts);
        DiscontiguousData slice = data[{ c.begin, c.end }];
        EXPECT_EQ(regionCounts(slice), c.counts) << c.begin << ".." << c.end;
        EXPECT_TRUE(isSliceOf(slice, data)) << c.begin << ".." << c.end;
        EXPECT_EQ(bytesOf(slice),
            sequence(static_cast<std::size_t>(c.end - c.begin), static_cast<std::uint8_t>(c.begin)));
        bool viewed = false;
        slice.withUnsafeBytes([&](std::span<const std::byte> view) {
            viewed = true;
            EXPECT_EQ(view.size(), static_cast<std::size_t>(c.end - c.begin));
            // One region is viewed in place, none is no memory, several are copied together.
            if (c.counts.size() == 1)
                EXPECT_EQ(view.data(), slice.regions()[0].bytes().data());
            else if (c.counts.empty())
                EXPECT_EQ(view.data(), nullptr);
            else
                EXPECT_FALSE(liesInside(view.data(), 1, data));
        });
        EXPECT_TRUE(viewed);
    }
}

TEST(DiscontiguousDataTest, SlicingASliceSlicesTheUnderlyingRegions)
{
    DiscontiguousData data = test::splitAt(sequence(30), { 10, 20 });
    DiscontiguousData nested = data[{ 5, 25 }][{ 3, 17 }];
    EXPECT_EQ(regionCounts(nested), (std::vector<std::ptrdiff_t> { 2, 10, 2 }));
    EXPECT_EQ(nested.regions()[0].bytes().data(), data.regions()[0].bytes().data() + 8);
    EXPECT_EQ(bytesOf(nested), sequence(14, 8));
}

// A failing initializer leaves the value as it was and builds no value.
TEST(DiscontiguousDataTest, AppendedAllocationIsZeroFilledOnRequestAndWrittenByItsInitializer)
{
    DiscontiguousData zeroed(8, true, [](std::span<std::byte>) {});
    EXPECT_EQ(bytesOf(zeroed), Bytes(8, 0));

    DiscontiguousData data;
    data.append(4, false, [](std::span<std::byte> bytes) {
        ASSERT_EQ(bytes.size(), 4u);
        std::memcpy(bytes.data(), "\x01\x02\x03\x04", 4);
    });
    data.append<std::uint64_t>(true, [](std::span<std::byte> bytes) {
        ASSERT_EQ(bytes.size(), 8u);
        bytes[7] = std::byte { 0xFF };
    });
    data.append(0, true, [](std::span<std::byte> bytes) { EXPECT_TRUE(bytes.empty()); });
    auto failing = [](std::span<std::byte> bytes) {
        bytes[0] = std::byte { 0x55 };
        throw std::runtime_error("initializer failed");
    };
    EXPECT_THROW(data.append(16, true, failing), std::runtime_error);
    EXPECT_THROW(data.append<std::uint32_t>(false, failing), std::runtime_error);
    EXPECT_THROW(DiscontiguousData(8, true, failing), std::runtime_error);
    EXPECT_EQ(regionCounts(data), (std::vector<std::ptrdiff_t> { 4, 8 }));
    EXPECT_EQ(data.count(), 12);
    EXPECT_EQ(bytesOf(data), (Bytes { 1, 2, 3, 4, 0, 0, 0, 0, 0, 0, 0, 0xFF }));

    DiscontiguousData typed(std::type_identity<std::uint16_t> {}, true, [](std::span<std::byte> bytes) {
        bytes[0] = std::byte { 0x34 };
        bytes[1] = std::byte { 0x12 };
    });
    EXPECT_EQ(typed.withUnsafeValue<std::uint16_t>(0, [](std::uint16_t value) { return value; }), 0x1234);
}

// Every form is referenced, not copied, and released once by its deallocator when the last value
// or slice using it goes. Leak checking in the sanitizer build proves that the free deallocator runs.
TEST(DiscontiguousDataTest, HandedOverBuffersAreReferencedAndReleasedOnceWhenTheLastUserGoes)
{
    int releases = 0;
    void* releasedBase = nullptr;
    std::ptrdiff_t releasedCount = 0;
    auto* typed = static_cast<std::uint16_t*>(std::malloc(2 * sizeof(std::uint16_t)));
    typed[0] = 0x1110;
    typed[1] = 0x1312;
    static const std::uint8_t constant[] = { 0x14 };
    DiscontiguousData slice;
    {
        auto* raw = static_cast<std::byte*>(std::malloc(4));
        std::memcpy(raw, "\x0A\x0B\x0C\x0D", 4);
        DiscontiguousData data(std::span<std::byte>(raw, 4), DiscontiguousData::Deallocator::free());
        auto* constRaw = static_cast<std::byte*>(std::malloc(2));
        std::memcpy(constRaw, "\x0E\x0F", 2);
        data.append(std::span<const std::byte>(constRaw, 2), DiscontiguousData::Deallocator::free());
        data.append(std::span<std::uint16_t>(typed, 2),
            DiscontiguousData::Deallocator::custom([&](void* base, std::ptrdiff_t count) {
                ++releases;
                releasedBase = base;
                releasedCount = count;
                std::free(base);
            }));
        data.append(std::span<const std::uint8_t>(constant), DiscontiguousData::Deallocator::none());

        EXPECT_EQ(regionCounts(data), (std::vector<std::ptrdiff_t> { 4, 2, 4, 1 }));
        EXPECT_EQ(data.regions()[0].bytes().data(), raw);
        EXPECT_EQ(data.regions()[2].bytes().data(), reinterpret_cast<const std::byte*>(typed));
        EXPECT_EQ(data.regions()[3].bytes().data(), reinterpret_cast<const std::byte*>(constant));
        EXPECT_EQ(bytesOf(data), sequence(11, 0x0A));
        DiscontiguousData copy = data;
        slice = copy[{ 8, 10 }];
    }
    EXPECT_EQ(releases, 0);
    EXPECT_EQ(slice.withUnsafeValue<std::uint16_t>(0, [](std::uint16_t value) { return value; }), 0x1312u);
    slice = DiscontiguousData();
    EXPECT_EQ(releases, 1);
    EXPECT_EQ(releasedBase, typed);
    EXPECT_EQ(releasedCount, 4);

    bool emptyReleased = false;
    static std::byte anchor;
    DiscontiguousData empty(std::span<std::byte>(&anchor, 0),
        DiscontiguousData::Deallocator::custom([&](void*, std::ptrdiff_t) { emptyReleased = true; }));
    EXPECT_TRUE(empty.regions().empty());
    EXPECT_TRUE(emptyReleased);
}

TEST(DiscontiguousDataTest, OneValueIsReadFromSeveralThreadsAtOnce)
{
    const DiscontiguousData data = test::splitAt(sequence(200), { 16, 100, 150 });
    std::vector<std::thread> readers;
    std::vector<int> mismatches(4, 0);
    for (int reader = 0; reader < 4; ++reader)
        readers.emplace_back([&, reader] {
            for (std::ptrdiff_t start = 0; start < 190; ++start) {
                DiscontiguousData part = data[{ start, start + 10 }];
                if (bytesOf(part) != sequence(10, static_cast<std::uint8_t>(start)))
                    ++mismatches[static_cast<std::size_t>(reader)];
            }
        });
    for (std::thread& reader : readers)
        reader.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST(DiscontiguousDataDeathTest, OutOfRangeUseEndsTheProcess)
{
    DiscontiguousData data = headerAndBody();
    const char* expected = "VLChannel/DiscontiguousData: Fatal error: Fatal error";
    EXPECT_DEATH((data[{ 0, 161 }]), expected);
    EXPECT_DEATH((data[{ -1, 4 }]), expected);
    EXPECT_DEATH((data[{ 9, 8 }]), expected);
    EXPECT_DEATH(data.from(161), expected);
    EXPECT_DEATH(data.withUnsafeValue<std::uint32_t>(157, [](std::uint32_t) {}), expected);
    EXPECT_DEATH(data.withUnsafeValue<std::uint32_t>(-1, [](std::uint32_t) {}), expected);
    EXPECT_DEATH(data.withUnsafeBytes({ 150, 161 }, [](std::span<const std::byte>) {}), expected);
    EXPECT_DEATH(data.append(-1, true, [](std::span<std::byte>) {}), expected);

    Region region = regionOf(sequence(8));
    EXPECT_DEATH((region[{ 3, 3 }]), expected);
    EXPECT_DEATH((region[{ -1, 2 }]), expected);
    EXPECT_DEATH((region[{ 5, 9 }]), expected);
    EXPECT_DEATH(region.from(8), expected);
    EXPECT_DEATH((region[{ 2, 6 }][{ 1, 5 }]), expected);
}

TEST(DiscontiguousDataDeathTest, BufferWithoutBaseAddressEndsTheProcess)
{
    EXPECT_DEATH(DiscontiguousData(std::span<std::byte>(), DiscontiguousData::Deallocator::free()),
        "VLChannel/DiscontiguousData: Fatal error: Buffer has no base address");
}

} // namespace
} // namespace vl
