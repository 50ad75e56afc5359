// FUSE attributes into FSKit's, set-attributes requests into fuse_setattr_in, and directory
// entry types into item types.
#include "VLFSModule/FSItemAttributes+FUSE.h"

#include "Platform/FSKit/FSError.h"
#include "Support/FusePeer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <limits>

namespace vl {
namespace {

using fskit::FSItemAttribute;
using fskit::FSItemType;
using testing_support::bytesOf;
using Identifier = fskit::FSItem::Identifier;
constexpr std::int32_t int32Min = std::numeric_limits<std::int32_t>::min();

// Every mode's type bits, and what they make an item.
constexpr std::pair<std::uint32_t, FSItemType> typesOfModes[] = {
    { 0100644, FSItemType::file },
    { 0040755, FSItemType::directory },
    { 0120777, FSItemType::symlink },
    { 0010600, FSItemType::fifo },
    { 0020600, FSItemType::charDevice },
    { 0060600, FSItemType::blockDevice },
    { 0140755, FSItemType::socket },
    { 0000644, FSItemType::unknown },
    { 0030644, FSItemType::unknown },
    { 0170644, FSItemType::unknown },
};

TEST(AttributeMapping, AppliedAttributesOverwriteEveryMappedPropertyAndKeepTheOthers)
{
    fskit::FSItemAttributes attributes;
    attributes.setParentID(Identifier { 77 });
    attributes.setAllocSize(8192);
    attributes.setBackupTime(timespec { 5, 6 });
    attributes.setAddedTime(timespec { 7, 8 });
    attributes.setSupportsLimitedXAttrs(true);

    // Negative nanoseconds stay negative.
    apply(attributes,
        fuse_attr { .ino = 41,
            .size = 12345,
            .blocks = 99,
            .atime = -5,
            .mtime = 2000,
            .ctime = 3000,
            .crtime = 4000,
            .atimensec = -1,
            .mtimensec = int32Min,
            .ctimensec = 3,
            .crtimensec = 4,
            .mode = 0100644,
            .nlink = 3,
            .uid = 501,
            .gid = 20,
            .rdev = 7,
            .flags = 0x8000,
            .blksize = 4096 });

    EXPECT_EQ(std::tuple(attributes.uid(), attributes.gid(), attributes.mode(), attributes.type(),
                  attributes.linkCount(), attributes.flags(), attributes.size(), attributes.fileID()),
        std::tuple(
            501u, 20u, 0644u, FSItemType::file, 3u, 0x8000u, std::uint64_t { 12345 }, Identifier { 42 }));
    EXPECT_FALSE(attributes.supportsLimitedXAttrs());
    EXPECT_TRUE(attributes.inhibitKernelOffloadedIO());
    auto at = [](timespec time) { return std::pair<std::int64_t, std::int64_t>(time.tv_sec, time.tv_nsec); };
    EXPECT_EQ(at(attributes.accessTime()), at({ -5, -1 }));
    EXPECT_EQ(at(attributes.modifyTime()), at({ 2000, int32Min }));
    EXPECT_EQ(at(attributes.changeTime()), at({ 3000, 3 }));
    EXPECT_EQ(at(attributes.birthTime()), at({ 4000, 4 }));
    EXPECT_TRUE(attributes.isValid(FSItemAttribute::uid | FSItemAttribute::gid | FSItemAttribute::mode
        | FSItemAttribute::type | FSItemAttribute::linkCount | FSItemAttribute::flags | FSItemAttribute::size
        | FSItemAttribute::fileID | FSItemAttribute::supportsLimitedXAttrs
        | FSItemAttribute::inhibitKernelOffloadedIO | FSItemAttribute::accessTime
        | FSItemAttribute::modifyTime | FSItemAttribute::changeTime | FSItemAttribute::birthTime));

    // Neither the parent, the allocated size, nor the backup and added times come from FUSE.
    EXPECT_EQ(attributes.parentID(), Identifier { 77 });
    EXPECT_EQ(attributes.allocSize(), 8192u);
    EXPECT_EQ(at(attributes.backupTime()), at({ 5, 6 }));
    EXPECT_EQ(at(attributes.addedTime()), at({ 7, 8 }));
}

// A directory entry's type is the mode's type bits shifted right by 12.
TEST(AttributeMapping, TheTypeComesFromTheModesTypeBitsWhichTheModeLosesAndSoDoesAnEntrysType)
{
    fskit::FSItemAttributes attributes;
    for (auto [mode, type] : typesOfModes) {
        apply(attributes, fuse_attr { .mode = mode });
        EXPECT_EQ(attributes.type(), type) << std::oct << mode;
        EXPECT_EQ(attributes.mode(), mode & 07777u) << std::oct << mode;
        EXPECT_EQ(itemTypeFrom(mode >> 12), type) << std::oct << mode;
    }
    // Bits above the type bits stay in the mode; entry types beyond them are unknown.
    apply(attributes, fuse_attr { .mode = 0x10000u | 0100755 });
    EXPECT_EQ(attributes.mode(), 0x10000u | 0755u);
    for (std::uint32_t direntType : { 16u, 0x10004u, 0xFFFFFFFFu })
        EXPECT_EQ(itemTypeFrom(direntType), FSItemType::unknown) << direntType;
}

TEST(AttributeMapping, ASetRequestTranslatesOnlyWhatItSetsAndMarksExactlyThatConsumed)
{
    struct Case {
        std::function<void(fskit::FSItemSetAttributesRequest&)> set;
        fuse_setattr_in expected;
        FSItemAttribute consumed;
    };
    const Case cases[] = {
        { [](auto&) {}, {}, {} },
        { [](auto& r) {
             r.setChangeTime(timespec { -3, 4 });
         },
            { .valid = FATTR_CHGTIME, .chgtime = -3, .chgtimensec = 4 }, FSItemAttribute::changeTime },
        { // Type, link count, allocated size, identifiers, added time and the two flags are never sent.
            [](auto& r) {
                r.setUid(501), r.setGid(20), r.setMode(0104755), r.setFlags(0x20), r.setSize(1ull << 40);
                r.setAccessTime(timespec { 1, 10 }), r.setChangeTime(timespec { 2, 20 });
                r.setModifyTime(timespec { 3, 30 }), r.setBirthTime(timespec { 4, 40 });
                r.setBackupTime(timespec { 5, 50 }), r.setType(FSItemType::file), r.setLinkCount(2);
                r.setAllocSize(4096), r.setFileID(Identifier { 9 }), r.setParentID(Identifier { 8 });
                r.setAddedTime(timespec { 6, 60 }), r.setSupportsLimitedXAttrs(true);
                r.setInhibitKernelOffloadedIO(true);
            },
            { .valid = 0xF000007F,
                .size = 1ull << 40,
                .atime = 1,
                .mtime = 3,
                .atimensec = 10,
                .mtimensec = 30,
                .mode = 0104755,
                .uid = 501,
                .gid = 20,
                .bkuptime = 5,
                .chgtime = 2,
                .crtime = 4,
                .bkuptimensec = 50,
                .chgtimensec = 20,
                .crtimensec = 40,
                .flags = 0x20 },
            FSItemAttribute::uid | FSItemAttribute::gid | FSItemAttribute::mode | FSItemAttribute::flags
                | FSItemAttribute::size | FSItemAttribute::accessTime | FSItemAttribute::changeTime
                | FSItemAttribute::modifyTime | FSItemAttribute::birthTime | FSItemAttribute::backupTime },
    };
    for (const Case& c : cases) {
        fskit::FSItemSetAttributesRequest request;
        c.set(request);
        // A handle the caller put in first stays.
        fuse_setattr_in in { .valid = FATTR_FH, .fh = 77 }, expected = c.expected;
        expected.valid |= FATTR_FH, expected.fh = 77;
        toFUSE(request, in);
        EXPECT_EQ(bytesOf(in), bytesOf(expected)) << std::hex << c.expected.valid;
        EXPECT_EQ(request.consumedAttributes, c.consumed) << std::hex << c.expected.valid;
    }
}

TEST(AttributeMapping, NanosecondsBeyondThirtyTwoBitsAreRefusedBeforeAnythingIsTaken)
{
    fskit::FSItemSetAttributesRequest request;
    request.setUid(501);
    request.setBirthTime(timespec { 1, std::int64_t { 1 } << 31 });
    fuse_setattr_in in {};
    try {
        toFUSE(request, in);
        FAIL() << "an unrepresentable time was translated";
    } catch (const fskit::FSError& error) {
        EXPECT_EQ(error.code().value(), EINVAL);
    }
    EXPECT_EQ(bytesOf(in), bytesOf(fuse_setattr_in {}));
    EXPECT_EQ(request.consumedAttributes, FSItemAttribute());

    // The largest and smallest 32-bit values still pass, whatever they mean to the daemon.
    request.setBirthTime(timespec { 1, int32Min });
    request.setAccessTime(timespec { 1, std::numeric_limits<std::int32_t>::max() });
    toFUSE(request, in);
    EXPECT_EQ(in.crtimensec, int32Min);
    EXPECT_EQ(in.atimensec, std::numeric_limits<std::int32_t>::max());
}

} // namespace
} // namespace vl
