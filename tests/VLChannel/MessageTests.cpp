#include "VLChannel/DirectoryEntry.h"
#include "VLChannel/Notification.h"
#include "VLChannel/Reply.h"
#include "VLChannel/Request.h"

#include "ByteHelpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <set>
#include <stdexcept>
#include <thread>
#include <tuple>

namespace vl {
namespace {

using test::Bytes;
using test::bytesOf;
using test::bytesOfValue;
using test::concatenated;
using test::regionCounts;
using test::regionOf;
using test::sequence;
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

fuse_entry_out sampleEntry()
{
    fuse_entry_out entry {};
    entry.nodeid = 42;
    entry.generation = 7;
    entry.entry_valid = 1;
    entry.attr.ino = 42;
    entry.attr.size = 0x1234'5678'9ABCu;
    entry.attr.mtime = -5;
    entry.attr.mode = 0100644;
    entry.attr.padding = 0;
    return entry;
}

TEST(ReplyTest, StructureLongerThanThePayloadOrAFailingBodyConsumesNothing)
{
    Reply reply(3, DiscontiguousData(test::regionOf(sequence(100))));
    bool called = false;
    try {
        std::move(reply).consume<fuse_entry_out>([&](const fuse_entry_out&) { called = true; });
        ADD_FAILURE() << "a 144-byte structure was read from 100 bytes";
    } catch (const ConsumableError& error) {
        EXPECT_EQ(error.kind(), ConsumableError::Kind::insufficientData);
        EXPECT_STREQ(error.what(), "insufficientData");
    }
    EXPECT_FALSE(called);
    EXPECT_EQ(reply.consumedCount(), 0);

    reply.consumePart(60);
    EXPECT_THROW(reply.consumePart(41), ConsumableError);
    EXPECT_THROW(reply.consumePart(41, [&](std::span<const std::byte>) { called = true; }), ConsumableError);
    EXPECT_THROW(reply.consumePart<fuse_entry_out>([&](fuse_entry_out) { called = true; }), ConsumableError);
    EXPECT_FALSE(called);
    // A failing body consumes nothing either, and its error is passed on.
    EXPECT_THROW(
        reply.consumePart(8, [](std::span<const std::byte>) { throw std::runtime_error("bad name"); }),
        std::runtime_error);
    EXPECT_THROW(
        reply.consumePart<fuse_write_out>([](fuse_write_out) -> int { throw std::runtime_error("bad"); }),
        std::runtime_error);
    EXPECT_EQ(reply.consumedCount(), 60);
    EXPECT_EQ(reply.unconsumedCount(), 40);
    std::uint32_t size = reply.consumePart<fuse_write_out>([](fuse_write_out out) { return out.size; });
    EXPECT_EQ(size, 0x3F3E'3D3Cu);
    EXPECT_EQ(reply.unconsumedCount(), 32);
}

// The last structure is read from the front of what is left; trailing bytes are ignored.
TEST(ReplyTest, CreateReplySplitOverTwoRegionsIsReadAsEntryThenOpenHandle)
{
    fuse_entry_out entry = sampleEntry();
    fuse_open_out open { .fh = 0xABCD, .open_flags = 2, .padding = 0 };
    Bytes payload
        = test::concatenated({ test::bytesOfValue(entry), test::bytesOfValue(open), Bytes(6, 0xEE) });
    ASSERT_EQ(payload.size(), 166u);

    for (std::size_t cut : { 1u, 100u, 144u, 150u }) {
        Reply reply(9, test::splitAt(payload, { cut }));
        fuse_entry_out readEntry
            = reply.consumePart<fuse_entry_out>([](const fuse_entry_out& value) { return value; });
        EXPECT_EQ(test::bytesOfValue(readEntry), test::bytesOfValue(entry));
        EXPECT_EQ(reply.consumedCount(), 144);
        EXPECT_EQ(reply.unconsumedCount(), 22);
        fuse_open_out readOpen
            = std::move(reply).consume<fuse_open_out>([](fuse_open_out value) { return value; });
        EXPECT_EQ(readOpen.fh, 0xABCDu) << "cut at " << cut;
        EXPECT_EQ(readOpen.open_flags, 2u);
    }
}

// Zero bytes are handed to a body as an empty view, even from an empty payload.
TEST(ReplyTest, VariableLengthPartsAreReadInOrderTheRestGoesToTheLastBodyAndResetStartsAgain)
{
    auto copied = [](std::span<const std::byte> view) { return test::bytesOf(view); };
    // A payload over three regions: 5 bytes skipped, 10 bytes read across a boundary, then the rest.
    Reply reply(1, test::splitAt(sequence(40), { 8, 12 }));
    reply.consumePart(5);
    EXPECT_EQ(reply.consumePart(10, copied), sequence(10, 5));
    EXPECT_EQ(reply.consumePart(0, copied), Bytes {});
    EXPECT_EQ(reply.consumedCount(), 15);
    Reply again = reply;
    EXPECT_EQ(std::move(reply).consume(copied), sequence(25, 15));
    again.reset();
    EXPECT_EQ(again.consumedCount(), 0);
    EXPECT_EQ(std::move(again).consume(copied), sequence(40));

    Reply empty(1, DiscontiguousData());
    EXPECT_EQ(empty.consumePart(0, copied), Bytes {});
    EXPECT_EQ(std::move(empty).consume(copied), Bytes {});
    EXPECT_EQ(empty.consumedCount(), 0);
}

// One record as a daemon writes it, padded with `paddingByte` to a multiple of 8 bytes.
Bytes record(std::uint64_t ino, std::uint64_t off, std::string_view name, std::uint32_t type = 8,
    std::uint8_t paddingByte = 0)
{
    fuse_dirent dirent {
        .ino = ino, .off = off, .namelen = static_cast<std::uint32_t>(name.size()), .type = type
    };
    Bytes bytes = test::concatenated({ test::bytesOfValue(dirent), Bytes(name.begin(), name.end()) });
    while (bytes.size() % 8 != 0)
        bytes.push_back(paddingByte);
    return bytes;
}

// Twenty-four or fewer bytes after the last record end the listing; they are left unconsumed.
TEST(DirectoryEntryTest, ListingIsReadRecordByRecordWhateverThePaddingUntilTwentyFourBytesAreLeft)
{
    Bytes payload = test::concatenated({ record(1, 1, ".", 4), record(0xFFFF'FFFF, 2, "abcdefgh", 8, 0xAA),
        record(3, 3, "a", 0, 0xBB), record(4, 4, "abcdefghi", 10), Bytes(24, 0x11) });
    // Cut inside a fixed part, inside a name and inside padding.
    Reply reply(1, test::splitAt(payload, { 10, 50, 70, 100 }));

    struct Expected {
        std::uint64_t ino, off;
        std::string name;
        std::uint32_t type;
        std::ptrdiff_t consumedAfter;
    };
    for (const Expected& expected :
        { Expected { 1, 1, ".", 4, 32 }, Expected { 0xFFFF'FFFF, 2, "abcdefgh", 8, 64 },
            Expected { 3, 3, "a", 0, 96 }, Expected { 4, 4, "abcdefghi", 10, 136 } }) {
        std::optional<DirectoryEntry> entry = DirectoryEntry::consumeNext(reply);
        ASSERT_TRUE(entry.has_value()) << expected.name;
        EXPECT_EQ(std::tie(entry->dirent.ino, entry->dirent.off, entry->dirent.type, entry->name),
            std::tie(expected.ino, expected.off, expected.type, expected.name));
        EXPECT_EQ(entry->dirent.namelen, expected.name.size());
        EXPECT_EQ(reply.consumedCount(), expected.consumedAfter);
    }
    EXPECT_FALSE(DirectoryEntry::consumeNext(reply).has_value());
    EXPECT_EQ(reply.consumedCount(), 136);
    Reply empty(1, DiscontiguousData());
    EXPECT_FALSE(DirectoryEntry::consumeNext(empty).has_value());
}

TEST(DirectoryEntryTest, RecordShorterThanItsNameOrPaddingFailsWithInsufficientData)
{
    Bytes whole = record(5, 1, "abcdefghijk");
    Bytes truncatedName(whole.begin(), whole.begin() + 30);
    Reply shortName(1, DiscontiguousData(test::regionOf(truncatedName)));
    EXPECT_THROW(DirectoryEntry::consumeNext(shortName), ConsumableError);
    EXPECT_EQ(shortName.consumedCount(), 24);

    Bytes missingPadding(whole.begin(), whole.begin() + 24 + 11);
    Reply shortPadding(1, DiscontiguousData(test::regionOf(missingPadding)));
    EXPECT_THROW(DirectoryEntry::consumeNext(shortPadding), ConsumableError);

    fuse_dirent huge { .ino = 1, .off = 1, .namelen = 0xFFFF'FFFFu, .type = 8 };
    Reply hugeName(
        1, DiscontiguousData(test::regionOf(test::concatenated({ test::bytesOfValue(huge), Bytes(16, 0) }))));
    EXPECT_THROW(DirectoryEntry::consumeNext(hugeName), ConsumableError);
}

} // namespace
} // namespace vl
