#include "VLChannel/Notification.h"
#include "VLChannel/Reply.h"

#include "ByteHelpers.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace vl {
namespace {

using test::Bytes;
using test::sequence;

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

} // namespace
} // namespace vl
