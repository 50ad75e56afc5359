#include "VLChannel/DirectoryEntry.h"
#include "VLChannel/Reply.h"

#include "ByteHelpers.h"

#include <gtest/gtest.h>

#include <tuple>

namespace vl {
namespace {

using test::Bytes;

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
