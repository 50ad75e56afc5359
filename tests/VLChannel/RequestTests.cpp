#include "VLChannel/Request.h"

#include "ByteHelpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <set>
#include <thread>

namespace vl {
namespace {

using test::Bytes;
using test::bytesOf;
using test::bytesOfValue;
using test::concatenated;
using test::regionCounts;
using test::regionOf;
using Part = Request::Part;

fuse_in_header headerOf(const Request& request)
{
    return request.data().withUnsafeValue<fuse_in_header>(
        0, [](const fuse_in_header& header) { return header; });
}

Bytes headerBytes(std::uint32_t len, fuse_opcode opcode, std::uint64_t unique, std::uint64_t nodeid,
    std::uint32_t uid = 0, std::uint32_t gid = 0, std::uint32_t pid = 0)
{
    return bytesOfValue(fuse_in_header { .len = len,
        .opcode = opcode,
        .unique = unique,
        .nodeid = nodeid,
        .uid = uid,
        .gid = gid,
        .pid = pid,
        .padding = 0 });
}

Part namePart(std::string_view name)
{
    return Part::unmanaged(DiscontiguousData(regionOf(name), Part::nullByte));
}

Bytes nameBytes(std::string_view name)
{
    Bytes bytes(name.begin(), name.end());
    bytes.push_back(0);
    return bytes;
}

TEST(RequestDeathTest, FirstRequestsOfAProcessAreNumberedOneThenTwo)
{
    // The child process runs only this statement, so no other request was built before it.
    EXPECT_EXIT(
        {
            Request first(FUSE_STATFS, 1, 0, 0, 0);
            Request second(FUSE_STATFS, 1, 0, 0, 0);
            std::exit(first.unique() == 1 && second.unique() == 2 && headerOf(second).unique == 2 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(RequestTest, IdentifierCounterSkipsZeroAndWrapsToOne)
{
    EXPECT_EQ(Request::Unique::successor(1), 2u);
    EXPECT_EQ(Request::Unique::successor(41), 42u);
    EXPECT_EQ(Request::Unique::successor(std::numeric_limits<std::uint64_t>::max()), 1u);
    EXPECT_EQ(Request::Unique::successor(0), 1u);

    std::uint64_t first = Request::Unique::next();
    Request request(FUSE_STATFS, 1, 0, 0, 0);
    EXPECT_EQ(request.unique(), first + 1);
    EXPECT_EQ(headerOf(request).unique, first + 1);
}

TEST(RequestTest, RequestsBuiltConcurrentlyNeverShareAnIdentifier)
{
    constexpr int threadCount = 4;
    constexpr int requestsPerThread = 500;
    std::vector<std::vector<std::uint64_t>> issued(threadCount);
    std::vector<std::thread> threads;
    for (int thread = 0; thread < threadCount; ++thread)
        threads.emplace_back([&issued, thread] {
            for (int index = 0; index < requestsPerThread; ++index)
                issued[static_cast<std::size_t>(thread)].push_back(
                    Request(FUSE_LOOKUP, 1, 0, 0, 0, namePart("x")).unique());
        });
    for (std::thread& thread : threads)
        thread.join();
    std::set<std::uint64_t> distinct;
    for (const std::vector<std::uint64_t>& list : issued) {
        EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
        distinct.insert(list.begin(), list.end());
    }
    EXPECT_EQ(distinct.size(), static_cast<std::size_t>(threadCount * requestsPerThread));
    EXPECT_EQ(distinct.count(0), 0u);
}

TEST(RequestTest, RequestWithoutPartsIsOneHeaderRegionOfFortyBytes)
{
    Request statfs = Request::statfs();
    ASSERT_EQ(regionCounts(statfs.data()), std::vector<std::ptrdiff_t> { 40 });
    EXPECT_EQ(statfs.count(), 40);
    EXPECT_EQ(bytesOf(statfs.data()), headerBytes(40, FUSE_STATFS, statfs.unique(), 1));

    Request destroy = Request::destroy();
    EXPECT_EQ(bytesOf(destroy.data()), headerBytes(40, FUSE_DESTROY, destroy.unique(), 1));

    Request again = Request::statfs();
    EXPECT_NE(again.unique(), statfs.unique());
    EXPECT_EQ(headerOf(again).unique, again.unique());
}

TEST(RequestTest, HeaderCarriesOperationNodeAndCaller)
{
    Request request(FUSE_ACCESS, 0x0102'0304'0506'0708u, 501, 20, 4242,
        Part::managed<fuse_access_in>([](fuse_access_in& in) { in.mask = 4; }));
    Bytes expected = concatenated(
        { headerBytes(48, FUSE_ACCESS, request.unique(), 0x0102'0304'0506'0708u, 501, 20, 4242),
            Bytes { 4, 0, 0, 0, 0, 0, 0, 0 } });
    EXPECT_EQ(bytesOf(request.data()), expected);
}

TEST(RequestTest, FixedStructureSharesTheHeaderBuffer)
{
    Request getattr(
        FUSE_GETATTR, 5, 0, 0, 0, Part::managed<fuse_getattr_in>([](fuse_getattr_in& in) { in.fh = 0x99; }));
    ASSERT_EQ(regionCounts(getattr.data()), std::vector<std::ptrdiff_t> { 56 });
    fuse_getattr_in body { .getattr_flags = 0, .dummy = 0, .fh = 0x99 };
    EXPECT_EQ(bytesOf(getattr.data()),
        concatenated({ headerBytes(56, FUSE_GETATTR, getattr.unique(), 5), bytesOfValue(body) }));
}

TEST(RequestTest, NameIsReferencedAndEndedByOneZeroByte)
{
    DiscontiguousData::Region name = regionOf("abc");
    Request lookup(FUSE_LOOKUP, 1, 0, 0, 0, Part::unmanaged(DiscontiguousData(name, Part::nullByte)));
    ASSERT_EQ(regionCounts(lookup.data()), (std::vector<std::ptrdiff_t> { 40, 3, 1 }));
    EXPECT_EQ(lookup.count(), 44);
    EXPECT_EQ(lookup.data().regions()[1].bytes().data(), name.bytes().data());
    EXPECT_EQ(lookup.data().regions()[2].bytes().data(), Part::nullByte.bytes().data());
    EXPECT_EQ(bytesOf(lookup.data()),
        concatenated({ headerBytes(44, FUSE_LOOKUP, lookup.unique(), 1), nameBytes("abc") }));
}

TEST(RequestTest, ManagedPartWithoutInitializerIsAllZero)
{
    Request forget(FUSE_FORGET, 3, 0, 0, 0, Part::managed<fuse_forget_in>());
    EXPECT_EQ(bytesOf(forget.data()),
        concatenated({ headerBytes(48, FUSE_FORGET, forget.unique(), 3), Bytes(8, 0) }));

    Request raw(FUSE_FORGET, 3, 0, 0, 0, Part::managed(6), Part::managed(2, [](std::span<std::byte> bytes) {
        EXPECT_EQ(bytes.size(), 2u);
        EXPECT_EQ(bytes[0], std::byte { 0 });
        bytes[1] = std::byte { 0x7F };
    }));
    ASSERT_EQ(regionCounts(raw.data()), std::vector<std::ptrdiff_t> { 48 });
    EXPECT_EQ(bytesOf(raw.data()),
        concatenated({ headerBytes(48, FUSE_FORGET, raw.unique(), 3), Bytes { 0, 0, 0, 0, 0, 0, 0, 0x7F } }));
}

TEST(RequestTest, EachRunOfFixedStructuresGetsOneBufferBetweenReferencedParts)
{
    // Header and fuse_setxattr_in, the name in two regions, the value, then two more structures.
    DiscontiguousData::Region value = regionOf(Bytes { 0xA1, 0xA2, 0xA3 });
    Request request(FUSE_SETXATTR, 8, 0, 0, 0, Part::managed<fuse_setxattr_in>([](fuse_setxattr_in& in) {
        in.size = 3;
        in.position = 1;
    }),
        namePart("user.x"), Part::unmanaged(value), Part::managed<fuse_forget_in>(),
        Part::managed<fuse_open_in>([](fuse_open_in& in) { in.flags = 0x0201; }));
    ASSERT_EQ(regionCounts(request.data()), (std::vector<std::ptrdiff_t> { 56, 6, 1, 3, 16 }));
    EXPECT_EQ(request.data().regions()[3].bytes().data(), value.bytes().data());
    fuse_setxattr_in setxattr { .size = 3, .flags = 0, .position = 1, .padding = 0 };
    fuse_open_in open { .flags = 0x0201, .unused = 0 };
    EXPECT_EQ(bytesOf(request.data()),
        concatenated({ headerBytes(82, FUSE_SETXATTR, request.unique(), 8), bytesOfValue(setxattr),
            nameBytes("user.x"), Bytes { 0xA1, 0xA2, 0xA3 }, Bytes(8, 0), bytesOfValue(open) }));

    Request headerAlone(FUSE_UNLINK, 4, 0, 0, 0, namePart("gone"));
    EXPECT_EQ(regionCounts(headerAlone.data()), (std::vector<std::ptrdiff_t> { 40, 4, 1 }));
}

TEST(RequestTest, RenameCarriesTheSixteenByteStructureAndBothNames)
{
    Request rename(FUSE_RENAME, 2, 0, 0, 0,
        Part::managed<fuse_rename_in>([](fuse_rename_in& in) { in.newdir = 9; }), namePart("old"),
        namePart("newer"));
    ASSERT_EQ(regionCounts(rename.data()), (std::vector<std::ptrdiff_t> { 56, 3, 1, 5, 1 }));
    EXPECT_EQ(bytesOf(rename.data()),
        concatenated({ headerBytes(66, FUSE_RENAME, rename.unique(), 2), Bytes { 9, 0, 0, 0, 0, 0, 0, 0 },
            Bytes(8, 0), nameBytes("old"), nameBytes("newer") }));
}

TEST(RequestTest, ListAndArgumentFormsBuildTheSameBytes)
{
    DiscontiguousData::Region target = regionOf("target");
    std::vector<Part> parts { namePart("link"), Part::unmanaged(DiscontiguousData(target, Part::nullByte)) };
    Request fromList(FUSE_SYMLINK, 6, 0, 0, 0, parts);
    Request fromArguments(FUSE_SYMLINK, 6, 0, 0, 0, parts[0], parts[1]);
    Bytes body = concatenated({ nameBytes("link"), nameBytes("target") });
    EXPECT_EQ(bytesOf(fromList.data()),
        concatenated({ headerBytes(52, FUSE_SYMLINK, fromList.unique(), 6), body }));
    EXPECT_EQ(bytesOf(fromArguments.data()),
        concatenated({ headerBytes(52, FUSE_SYMLINK, fromArguments.unique(), 6), body }));
    EXPECT_EQ(parts[0].count(), 5);
    EXPECT_EQ(Part::managed<fuse_setattr_in>().count(), 128);
}

TEST(RequestTest, CopiesShareTheBuffersAndOutliveTheOriginal)
{
    std::optional<Request> original(std::in_place, FUSE_READ, 7, 0, 0, 0,
        Part::managed<fuse_read_in>([](fuse_read_in& in) { in.size = 4096; }));
    Request copy = *original;
    EXPECT_EQ(copy.data().regions()[0].bytes().data(), original->data().regions()[0].bytes().data());
    Bytes before = bytesOf(original->data());
    original.reset();
    EXPECT_EQ(bytesOf(copy.data()), before);
    EXPECT_EQ(headerOf(copy).len, 80u);
}

TEST(RequestDeathTest, RequestLongerThanThirtyTwoBitsEndsTheProcess)
{
    EXPECT_DEATH(Request(FUSE_WRITE, 1, 0, 0, 0, Part::managed(std::ptrdiff_t { 1 } << 32)),
        "VLChannel/Message: Fatal error: Request length does not fit in 32 bits");
    EXPECT_DEATH(Part::managed(-1), "VLChannel/Message: Fatal error: Fatal error");
}

} // namespace
} // namespace vl
