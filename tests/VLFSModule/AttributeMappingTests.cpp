// FUSE attributes into FSKit's, set-attributes requests into fuse_setattr_in, and directory
// entry types into item types.
#include "VLFSModule/FSItemAttributes+FUSE.h"

#include "Platform/FSKit/FSError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <limits>

namespace vl {
namespace {

using fskit::FSItemAttribute;
using fskit::FSItemType;
using Identifier = fskit::FSItem::Identifier;

fuse_attr reportedFile()
{
    fuse_attr attr {};
    attr.ino = 41;
    attr.size = 12345;
    attr.blocks = 99;
    attr.atime = 1000;
    attr.atimensec = 1;
    attr.mtime = 2000;
    attr.mtimensec = 2;
    attr.ctime = 3000;
    attr.ctimensec = 3;
    attr.crtime = 4000;
    attr.crtimensec = 4;
    attr.mode = 0100644;
    attr.nlink = 3;
    attr.uid = 501;
    attr.gid = 20;
    attr.rdev = 7;
    attr.flags = 0x8000;
    attr.blksize = 4096;
    return attr;
}

bool operator==(const timespec& a, const timespec& b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool isZero(const fuse_setattr_in& in)
{
    fuse_setattr_in zero {};
    return std::memcmp(&in, &zero, sizeof zero) == 0;
}

TEST(AttributeMapping, AppliedAttributesOverwriteEveryMappedPropertyAndKeepTheOthers)
{
    fskit::FSItemAttributes attributes;
    attributes.setParentID(Identifier { 77 });
    attributes.setAllocSize(8192);
    attributes.setBackupTime(timespec { 5, 6 });
    attributes.setAddedTime(timespec { 7, 8 });
    attributes.setSupportsLimitedXAttrs(true);

    apply(attributes, reportedFile());

    EXPECT_EQ(attributes.uid(), 501u);
    EXPECT_EQ(attributes.gid(), 20u);
    EXPECT_EQ(attributes.mode(), 0644u);
    EXPECT_EQ(attributes.type(), FSItemType::file);
    EXPECT_EQ(attributes.linkCount(), 3u);
    EXPECT_EQ(attributes.flags(), 0x8000u);
    EXPECT_EQ(attributes.size(), 12345u);
    EXPECT_EQ(attributes.fileID(), Identifier { 42 });
    EXPECT_FALSE(attributes.supportsLimitedXAttrs());
    EXPECT_TRUE(attributes.inhibitKernelOffloadedIO());
    EXPECT_TRUE(attributes.accessTime() == (timespec { 1000, 1 }));
    EXPECT_TRUE(attributes.modifyTime() == (timespec { 2000, 2 }));
    EXPECT_TRUE(attributes.changeTime() == (timespec { 3000, 3 }));
    EXPECT_TRUE(attributes.birthTime() == (timespec { 4000, 4 }));
    for (FSItemAttribute mapped : { FSItemAttribute::uid, FSItemAttribute::gid, FSItemAttribute::mode,
             FSItemAttribute::type, FSItemAttribute::linkCount, FSItemAttribute::flags, FSItemAttribute::size,
             FSItemAttribute::fileID, FSItemAttribute::supportsLimitedXAttrs,
             FSItemAttribute::inhibitKernelOffloadedIO, FSItemAttribute::accessTime,
             FSItemAttribute::modifyTime, FSItemAttribute::changeTime, FSItemAttribute::birthTime })
        EXPECT_TRUE(attributes.isValid(mapped)) << mapped.rawValue;

    // Neither the parent, the allocated size, nor the backup and added times come from FUSE.
    EXPECT_EQ(attributes.parentID(), Identifier { 77 });
    EXPECT_EQ(attributes.allocSize(), 8192u);
    EXPECT_TRUE(attributes.backupTime() == (timespec { 5, 6 }));
    EXPECT_TRUE(attributes.addedTime() == (timespec { 7, 8 }));
}

TEST(AttributeMapping, InodeNumbersBecomeFileIdentifiersOneHigherExceptTheUnknownOnes)
{
    fskit::FSItemAttributes attributes;
    fuse_attr attr = reportedFile();
    const std::pair<std::uint64_t, Identifier> cases[] = {
        { 1, Identifier::rootDirectory },
        { 0, Identifier::parentOfRoot },
        { 0xFFFFFFFF, Identifier::invalid },
        { 0x100000000, Identifier { 0x100000001 } },
        { std::numeric_limits<std::uint64_t>::max(), Identifier::invalid },
    };
    for (auto [inode, fileID] : cases) {
        attr.ino = inode;
        apply(attributes, attr);
        EXPECT_EQ(attributes.fileID(), fileID) << inode;
        EXPECT_EQ(fileIDFromFUSE(inode), fileID) << inode;
    }
    EXPECT_EQ(nodeIDOf(Identifier::rootDirectory), 1u);
    EXPECT_EQ(nodeIDOf(Identifier { 42 }), 41u);
}

TEST(AttributeMapping, TheTypeComesFromTheModesTypeBitsWhichTheModeLoses)
{
    fskit::FSItemAttributes attributes;
    fuse_attr attr = reportedFile();
    const std::pair<std::uint32_t, FSItemType> cases[] = {
        { 0100644, FSItemType::file },
        { 0040755, FSItemType::directory },
        { 0120777, FSItemType::symlink },
        { 0010600, FSItemType::fifo },
        { 0020600, FSItemType::charDevice },
        { 0060600, FSItemType::blockDevice },
        { 0140755, FSItemType::socket },
        { 0000644, FSItemType::unknown },
        { 0170644, FSItemType::unknown },
    };
    for (auto [mode, type] : cases) {
        attr.mode = mode;
        apply(attributes, attr);
        EXPECT_EQ(attributes.type(), type) << std::oct << mode;
        EXPECT_EQ(attributes.mode(), mode & 07777u) << std::oct << mode;
    }
    // Bits above the type bits stay in the mode.
    attr.mode = 0x10000u | 0100755;
    apply(attributes, attr);
    EXPECT_EQ(attributes.mode(), 0x10000u | 0755u);
}

TEST(AttributeMapping, NegativeNanosecondsStayNegative)
{
    fskit::FSItemAttributes attributes;
    fuse_attr attr = reportedFile();
    attr.atime = -5;
    attr.atimensec = -1;
    attr.mtimensec = std::numeric_limits<std::int32_t>::min();
    apply(attributes, attr);
    EXPECT_EQ(attributes.accessTime().tv_sec, -5);
    EXPECT_EQ(attributes.accessTime().tv_nsec, -1);
    EXPECT_EQ(attributes.modifyTime().tv_nsec, std::numeric_limits<std::int32_t>::min());
}

TEST(AttributeMapping, ASetRequestTranslatesOnlyWhatItSetsAndMarksExactlyThatConsumed)
{
    fskit::FSItemSetAttributesRequest onlyModifyTime;
    onlyModifyTime.setModifyTime(timespec { 1700000000, 123456789 });
    fuse_setattr_in in {};
    toFUSE(onlyModifyTime, in);
    EXPECT_EQ(in.valid, 0x20u);
    EXPECT_EQ(in.mtime, 1700000000);
    EXPECT_EQ(in.mtimensec, 123456789);
    in.valid = 0, in.mtime = 0, in.mtimensec = 0;
    EXPECT_TRUE(isZero(in));
    EXPECT_EQ(onlyModifyTime.consumedAttributes, FSItemAttribute::modifyTime);

    fskit::FSItemSetAttributesRequest changeTime;
    changeTime.setChangeTime(timespec { -3, 4 });
    fuse_setattr_in changed {};
    toFUSE(changeTime, changed);
    EXPECT_EQ(changed.valid, FATTR_CHGTIME);
    EXPECT_EQ(changed.chgtime, -3);
    EXPECT_EQ(changed.chgtimensec, 4);
    EXPECT_EQ(changed.unused2, 0u);

    fskit::FSItemSetAttributesRequest nothing;
    fuse_setattr_in untouched {};
    toFUSE(nothing, untouched);
    EXPECT_TRUE(isZero(untouched));
    EXPECT_EQ(nothing.consumedAttributes, FSItemAttribute());
}

TEST(AttributeMapping, EverySettableAttributeReachesItsFieldAndTheRestAreNeverConsumed)
{
    fskit::FSItemSetAttributesRequest request;
    request.setUid(501);
    request.setGid(20);
    request.setMode(0104755);
    request.setFlags(0x20);
    request.setSize(1ull << 40);
    request.setAccessTime(timespec { 1, 10 });
    request.setChangeTime(timespec { 2, 20 });
    request.setModifyTime(timespec { 3, 30 });
    request.setBirthTime(timespec { 4, 40 });
    request.setBackupTime(timespec { 5, 50 });
    // Never translated, never consumed.
    request.setType(FSItemType::file);
    request.setLinkCount(2);
    request.setAllocSize(4096);
    request.setFileID(Identifier { 9 });
    request.setParentID(Identifier { 8 });
    request.setAddedTime(timespec { 6, 60 });
    request.setSupportsLimitedXAttrs(true);
    request.setInhibitKernelOffloadedIO(true);

    fuse_setattr_in in {};
    in.fh = 77;
    in.valid = FATTR_FH;
    toFUSE(request, in);

    EXPECT_EQ(in.valid,
        FATTR_FH | FATTR_UID | FATTR_GID | FATTR_MODE | FATTR_FLAGS | FATTR_SIZE | FATTR_ATIME | FATTR_CHGTIME
            | FATTR_MTIME | FATTR_CRTIME | FATTR_BKUPTIME);
    EXPECT_EQ(in.valid, 0xF000007Fu);
    EXPECT_EQ(in.fh, 77u);
    EXPECT_EQ(in.uid, 501u);
    EXPECT_EQ(in.gid, 20u);
    EXPECT_EQ(in.mode, 0104755u);
    EXPECT_EQ(in.flags, 0x20u);
    EXPECT_EQ(in.size, 1ull << 40);
    EXPECT_EQ(std::make_pair(in.atime, in.atimensec), std::make_pair(std::int64_t { 1 }, 10));
    EXPECT_EQ(std::make_pair(in.chgtime, in.chgtimensec), std::make_pair(std::int64_t { 2 }, 20));
    EXPECT_EQ(std::make_pair(in.mtime, in.mtimensec), std::make_pair(std::int64_t { 3 }, 30));
    EXPECT_EQ(std::make_pair(in.crtime, in.crtimensec), std::make_pair(std::int64_t { 4 }, 40));
    EXPECT_EQ(std::make_pair(in.bkuptime, in.bkuptimensec), std::make_pair(std::int64_t { 5 }, 50));
    EXPECT_EQ(in.unused2, 0u);
    EXPECT_EQ(in.lock_owner, 0u);
    EXPECT_EQ(request.consumedAttributes,
        FSItemAttribute::uid | FSItemAttribute::gid | FSItemAttribute::mode | FSItemAttribute::flags
            | FSItemAttribute::size | FSItemAttribute::accessTime | FSItemAttribute::changeTime
            | FSItemAttribute::modifyTime | FSItemAttribute::birthTime | FSItemAttribute::backupTime);
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
    EXPECT_TRUE(isZero(in));
    EXPECT_EQ(request.consumedAttributes, FSItemAttribute());

    // The largest and smallest 32-bit values still pass, whatever they mean to the daemon.
    request.setBirthTime(timespec { 1, std::numeric_limits<std::int32_t>::min() });
    request.setAccessTime(timespec { 1, std::numeric_limits<std::int32_t>::max() });
    toFUSE(request, in);
    EXPECT_EQ(in.crtimensec, std::numeric_limits<std::int32_t>::min());
    EXPECT_EQ(in.atimensec, std::numeric_limits<std::int32_t>::max());
}

TEST(AttributeMapping, DirectoryEntryTypesMapLikeTheModesTypeBits)
{
    const std::pair<std::uint32_t, FSItemType> cases[] = {
        { 0, FSItemType::unknown },
        { 1, FSItemType::fifo },
        { 2, FSItemType::charDevice },
        { 3, FSItemType::unknown },
        { 4, FSItemType::directory },
        { 6, FSItemType::blockDevice },
        { 8, FSItemType::file },
        { 10, FSItemType::symlink },
        { 12, FSItemType::socket },
        { 14, FSItemType::unknown },
        { 15, FSItemType::unknown },
        { 16, FSItemType::unknown },
        { 0x10004, FSItemType::unknown },
        { 0xFFFFFFFF, FSItemType::unknown },
    };
    for (auto [direntType, type] : cases)
        EXPECT_EQ(itemTypeFrom(direntType), type) << direntType;
}

} // namespace
} // namespace vl
