#include "vorlane-fskitd/DirectoryBuffer.h"

#include <gtest/gtest.h>
#include <linux/fuse.h>
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

using host::DirectoryBuffer;
// (name, inode, type, next offset) of a record.
using Record = std::tuple<std::string, std::uint64_t, std::uint32_t, off_t>;

std::vector<Record> recordsOf(const DirectoryBuffer& buffer)
{
    std::vector<Record> records;
    for (std::size_t at = 0; at < buffer.size();) {
        fuse_dirent record;
        std::memcpy(&record, buffer.data() + at, sizeof record);
        records.emplace_back(std::string(buffer.data() + at + FUSE_NAME_OFFSET, record.namelen), record.ino,
            record.type, static_cast<off_t>(record.off));
        at += FUSE_DIRENT_SIZE(&record);
    }
    return records;
}

TEST(DirectoryBuffer, DotAndDotDotComeFirstAndAListingResumedAfterEitherGoesOnWithTheVolumesFirstEntry)
{
    constexpr std::uint32_t directory = S_IFDIR >> 12;
    struct Case {
        off_t offset;
        fskit::FSDirectoryCookie cookie;
        std::vector<Record> records;
    };
    const Case cases[] = {
        { 0, 0,
            { { ".", 9, directory, DirectoryBuffer::afterDot },
                { "..", 9, directory, DirectoryBuffer::afterDotDot } } },
        { DirectoryBuffer::afterDot, 0, { { "..", 9, directory, DirectoryBuffer::afterDotDot } } },
        { DirectoryBuffer::afterDotDot, 0, {} },
        { 17, 17, {} },
    };
    for (const Case& c : cases) {
        DirectoryBuffer buffer(4096);
        EXPECT_EQ(buffer.start(c.offset, 9), c.cookie) << c.offset;
        EXPECT_EQ(recordsOf(buffer), c.records) << c.offset;
    }
}

TEST(DirectoryBuffer, AnEntryThatDoesNotFitWholeIsRefusedAndLeavesTheBufferAsItWas)
{
    // Two records of 24 + 5 bytes padded to 32 fit in 70 bytes; a third does not.
    DirectoryBuffer buffer(70);
    auto pack = [&buffer](const char* name, std::uint64_t id, fskit::FSDirectoryCookie cookie) {
        return buffer.packEntry(fskit::FSFileName(std::string_view(name)), fskit::FSItemType::file,
            fskit::FSItem::Identifier(id), cookie, nullptr);
    };
    EXPECT_TRUE(pack("first", 11, 100));
    EXPECT_TRUE(buffer.add("fifo!", 12, S_IFIFO, 200));
    EXPECT_FALSE(pack("third", 13, 300));
    EXPECT_FALSE(pack("x", 14, 400)); // 25 bytes padded to 32: still too many
    EXPECT_EQ(buffer.size(), 64u);
    // Inodes are file identifiers minus one; the offset the kernel resumes at is the last taken cookie.
    EXPECT_EQ(recordsOf(buffer),
        (std::vector<Record> { { "first", 10, S_IFREG >> 12, 100 }, { "fifo!", 12, S_IFIFO >> 12, 200 } }));
}

} // namespace
