#include "VLChannel/Reply.h"
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
    return bytesOfValue(fuse_in_header { len, opcode, unique, nodeid, uid, gid, pid, 0 });
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

// The counter skips zero, also where it wraps.
TEST(RequestTest, RequestsBuiltConcurrentlyNeverShareAnIdentifierAndNoneIsZero)
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
    EXPECT_EQ(Request::Unique::successor(std::numeric_limits<std::uint64_t>::max()), 1u);
    EXPECT_EQ(Request::Unique::successor(0), 1u);
}

// Each form of request: its exact bytes, header included, in regions where fixed structures share
// the header's buffer and names and data handed over are referenced rather than copied.
TEST(RequestTest, EachFormBuildsItsExactBytesAndReferencesWhatItIsGiven)
{
    DiscontiguousData::Region name = regionOf("abc"), value = regionOf(Bytes { 0xA1, 0xA2, 0xA3 });
    std::vector<Part> symlink { namePart("link"), namePart("target") };
    struct Case {
        Request request;
        fuse_opcode opcode;
        std::uint64_t node;
        Bytes body;
        std::vector<std::ptrdiff_t> regions;
    };
    const Case cases[] = {
        { Request::statfs(), FUSE_STATFS, 1, {}, { 40 } },
        { Request::destroy(), FUSE_DESTROY, 1, {}, { 40 } },
        { Request(FUSE_GETATTR, 5, 0, 0, 0,
              Part::managed<fuse_getattr_in>([](fuse_getattr_in& in) { in.fh = 0x99; })),
            FUSE_GETATTR, 5, bytesOfValue(fuse_getattr_in { .fh = 0x99 }), { 56 } },
        { Request(FUSE_LOOKUP, 1, 0, 0, 0, Part::unmanaged(DiscontiguousData(name, Part::nullByte))),
            FUSE_LOOKUP, 1, nameBytes("abc"), { 40, 3, 1 } },
        { Request(FUSE_FORGET, 3, 0, 0, 0, Part::managed<fuse_forget_in>()), FUSE_FORGET, 3, Bytes(8, 0),
            { 48 } },
        { Request(FUSE_FORGET, 3, 0, 0, 0, Part::managed(6),
              Part::managed(2,
                  [](std::span<std::byte> bytes) {
                      EXPECT_EQ(bytes[0], std::byte { 0 });
                      bytes[1] = std::byte { 0x7F };
                  })),
            FUSE_FORGET, 3, Bytes { 0, 0, 0, 0, 0, 0, 0, 0x7F }, { 48 } },
        // Each run of fixed structures gets one buffer between referenced parts.
        { Request(FUSE_SETXATTR, 8, 0, 0, 0, Part::managed<fuse_setxattr_in>([](fuse_setxattr_in& in) {
             in.size = 3;
             in.position = 1;
         }),
              namePart("user.x"), Part::unmanaged(value), Part::managed<fuse_forget_in>(),
              Part::managed<fuse_open_in>([](fuse_open_in& in) { in.flags = 0x0201; })),
            FUSE_SETXATTR, 8,
            concatenated({ bytesOfValue(fuse_setxattr_in { .size = 3, .position = 1 }), nameBytes("user.x"),
                Bytes { 0xA1, 0xA2, 0xA3 }, Bytes(8, 0), bytesOfValue(fuse_open_in { .flags = 0x0201 }) }),
            { 56, 6, 1, 3, 16 } },
        { Request(FUSE_RENAME, 2, 0, 0, 0,
              Part::managed<fuse_rename_in>([](fuse_rename_in& in) { in.newdir = 9; }), namePart("old"),
              namePart("newer")),
            FUSE_RENAME, 2,
            concatenated(
                { Bytes { 9, 0, 0, 0, 0, 0, 0, 0 }, Bytes(8, 0), nameBytes("old"), nameBytes("newer") }),
            { 56, 3, 1, 5, 1 } },
        { Request(FUSE_SYMLINK, 6, 0, 0, 0, symlink), FUSE_SYMLINK, 6,
            concatenated({ nameBytes("link"), nameBytes("target") }), { 40, 4, 1, 6, 1 } },
        { Request(FUSE_SYMLINK, 6, 0, 0, 0, symlink[0], symlink[1]), FUSE_SYMLINK, 6,
            concatenated({ nameBytes("link"), nameBytes("target") }), { 40, 4, 1, 6, 1 } },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(bytesOf(c.request.data()),
            concatenated({ headerBytes(static_cast<std::uint32_t>(40 + c.body.size()), c.opcode,
                               c.request.unique(), c.node),
                c.body }))
            << c.opcode;
        EXPECT_EQ(regionCounts(c.request.data()), c.regions) << c.opcode;
        EXPECT_EQ(c.request.count(), static_cast<std::ptrdiff_t>(40 + c.body.size())) << c.opcode;
    }
    EXPECT_NE(cases[0].request.unique(), cases[1].request.unique());
    EXPECT_EQ(cases[3].request.data().regions()[1].bytes().data(), name.bytes().data());
    EXPECT_EQ(cases[3].request.data().regions()[2].bytes().data(), Part::nullByte.bytes().data());
    EXPECT_EQ(cases[6].request.data().regions()[3].bytes().data(), value.bytes().data());

    // The caller's identity goes into the header.
    Request access(FUSE_ACCESS, 0x0102'0304'0506'0708u, 501, 20, 4242,
        Part::managed<fuse_access_in>([](fuse_access_in& in) { in.mask = 4; }));
    EXPECT_EQ(bytesOf(access.data()),
        concatenated({ headerBytes(48, FUSE_ACCESS, access.unique(), 0x0102'0304'0506'0708u, 501, 20, 4242),
            Bytes { 4, 0, 0, 0, 0, 0, 0, 0 } }));
}

TEST(MessageDeathTest, RequestLongerThanThirtyTwoBitsOrANegativeByteCountEndsTheProcess)
{
    EXPECT_DEATH(Request(FUSE_WRITE, 1, 0, 0, 0, Part::managed(std::ptrdiff_t { 1 } << 32)),
        "VLChannel/Message: Fatal error: Request length does not fit in 32 bits");
    const char* negative = "VLChannel/Message: Fatal error: Fatal error";
    EXPECT_DEATH(Part::managed(-1), negative);
    Reply reply(1, DiscontiguousData(regionOf(test::sequence(8))));
    EXPECT_DEATH(reply.consumePart(-1), negative);
    EXPECT_DEATH(reply.consumePart(-1, [](std::span<const std::byte>) {}), negative);
}

} // namespace
} // namespace vl
