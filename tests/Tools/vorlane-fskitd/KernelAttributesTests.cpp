#include "vorlane-fskitd/KernelAttributes.h"
#include "vorlane-fskitd/KernelErrors.h"

#include "Platform/FSKit/FSError.h"
#include "Platform/Foundation/POSIXErrorCode.h"
#include "VLFSModule/ItemStore.h"

#include <fuse_lowlevel.h>
#include <gtest/gtest.h>

#include <cerrno>

namespace {

using fskit::FSItemAttribute;
using fskit::FSItemType;

TEST(KernelAttributes, StatCarriesTypeModeIdentityTimesAndBlocksRoundedUp)
{
    struct Row {
        FSItemType type;
        std::uint32_t mode;
        std::uint64_t size;
        std::optional<std::uint64_t> allocSize;
        mode_t statMode;
        blkcnt_t blocks;
    };
    for (const Row& row : std::initializer_list<Row>{
             {FSItemType::file, 0644, 0, {}, S_IFREG | 0644, 0},
             {FSItemType::directory, 040755, 1, {}, S_IFDIR | 0755, 1},
             {FSItemType::symlink, 0777, 512, {}, S_IFLNK | 0777, 1},
             {FSItemType::fifo, 04600, 513, {}, S_IFIFO | 04600, 2},
             {FSItemType::charDevice, 0600, 0, {}, S_IFCHR | 0600, 0},
             {FSItemType::blockDevice, 0600, 0, {}, S_IFBLK | 0600, 0},
             {FSItemType::socket, 0700, 0, {}, S_IFSOCK | 0700, 0},
             {FSItemType::unknown, 0700, 0, {}, 0700, 0},
             {FSItemType::file, 01000644, 100, 4096, S_IFREG | 0644, 8},
         }) {
        fskit::FSItemAttributes attributes;
        attributes.setType(row.type);
        attributes.setMode(row.mode);
        attributes.setSize(row.size);
        if (row.allocSize)
            attributes.setAllocSize(*row.allocSize);
        attributes.setFileID(fskit::FSItem::Identifier{43});
        attributes.setLinkCount(3);
        attributes.setUid(501);
        attributes.setGid(20);
        attributes.setAccessTime({1, 2});
        attributes.setModifyTime({3, 4});
        attributes.setChangeTime({5, 6});
        attributes.setBirthTime({7, 8});
        struct stat status = host::statFrom(attributes);
        EXPECT_EQ(status.st_mode, row.statMode) << row.mode;
        EXPECT_EQ(status.st_blocks, row.blocks) << row.size;
        EXPECT_EQ(status.st_size, static_cast<off_t>(row.size));
        EXPECT_EQ(status.st_ino, 42u);
        EXPECT_EQ(status.st_nlink, 3u);
        EXPECT_EQ(status.st_uid, 501u);
        EXPECT_EQ(status.st_gid, 20u);
        EXPECT_EQ(std::make_pair(status.st_atim.tv_sec, status.st_atim.tv_nsec), std::make_pair(1L, 2L));
        EXPECT_EQ(std::make_pair(status.st_mtim.tv_sec, status.st_mtim.tv_nsec), std::make_pair(3L, 4L));
        EXPECT_EQ(std::make_pair(status.st_ctim.tv_sec, status.st_ctim.tv_nsec), std::make_pair(5L, 6L));
    }
    EXPECT_EQ(host::statFrom(fskit::FSItemAttributes()).st_ino, 0xFFFFFFFFFFFFFFFFu); // invalid identifier
}

TEST(KernelAttributes, EachSetattrBitBecomesItsFSKitAttributeAndTheNowBitsTakeTheCurrentTime)
{
    struct stat wanted{};
    wanted.st_mode = S_IFREG | 04751;
    wanted.st_uid = 7;
    wanted.st_gid = 8;
    wanted.st_size = 9000;
    wanted.st_atim = {11, 12};
    wanted.st_mtim = {13, 14};
    wanted.st_ctim = {15, 16};
    const timespec now{99, 98};
    auto same = [](timespec a, timespec b) { return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec; };
    struct Row {
        int toSet;
        FSItemAttribute valid;
        std::function<bool(const fskit::FSItemSetAttributesRequest&)> holds;
    };
    for (const Row& row : std::initializer_list<Row>{
             {FUSE_SET_ATTR_MODE, FSItemAttribute::mode, [](auto& r) { return r.mode() == 04751; }},
             {FUSE_SET_ATTR_UID, FSItemAttribute::uid, [](auto& r) { return r.uid() == 7; }},
             {FUSE_SET_ATTR_GID, FSItemAttribute::gid, [](auto& r) { return r.gid() == 8; }},
             {FUSE_SET_ATTR_SIZE, FSItemAttribute::size, [](auto& r) { return r.size() == 9000; }},
             {FUSE_SET_ATTR_ATIME, FSItemAttribute::accessTime, [&](auto& r) { return same(r.accessTime(), {11, 12}); }},
             {FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_ATIME_NOW, FSItemAttribute::accessTime,
              [&](auto& r) { return same(r.accessTime(), now); }},
             {FUSE_SET_ATTR_MTIME, FSItemAttribute::modifyTime, [&](auto& r) { return same(r.modifyTime(), {13, 14}); }},
             {FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_MTIME_NOW, FSItemAttribute::modifyTime,
              [&](auto& r) { return same(r.modifyTime(), now); }},
             {FUSE_SET_ATTR_CTIME, FSItemAttribute::changeTime, [&](auto& r) { return same(r.changeTime(), {15, 16}); }},
             {FUSE_SET_ATTR_KILL_SUID | FUSE_SET_ATTR_FORCE, FSItemAttribute(), [](auto&) { return true; }},
         }) {
        auto request = host::setAttributesRequest(wanted, row.toSet, now);
        for (std::uint64_t bit = 1; bit <= (1u << 17); bit <<= 1)
            EXPECT_EQ(request->isValid(FSItemAttribute(bit)), row.valid.contains(FSItemAttribute(bit)))
                << "set " << row.toSet << ", bit " << bit;
        EXPECT_TRUE(row.holds(*request)) << row.toSet;
    }
}

TEST(KernelErrors, DarwinErrorsReachTheKernelAsTheirLinuxMeaningAndAnythingElseAsEIO)
{
    struct Row {
        std::exception_ptr error;
        int linuxErrno;
    };
    for (const Row& row : std::initializer_list<Row>{
             {std::make_exception_ptr(fskit::fs_errorForPOSIXError(posix::enoent)), ENOENT},
             {std::make_exception_ptr(fskit::fs_errorForPOSIXError(posix::enoattr)), ENODATA},
             {std::make_exception_ptr(fskit::fs_errorForPOSIXError(posix::enotsup)), EOPNOTSUPP},
             {std::make_exception_ptr(fskit::fs_errorForPOSIXError(posix::enosys)), ENOSYS},
             {std::make_exception_ptr(fskit::fs_errorForPOSIXError(posix::enxio)), ENXIO},
             {std::make_exception_ptr(foundation::POSIXError(posix::etimedout, "read")), ETIMEDOUT},
             {std::make_exception_ptr(foundation::POSIXError(posix::enotempty, "rmdir")), ENOTEMPTY},
             {std::make_exception_ptr(foundation::POSIXError(posix::elast + 1, "beyond Darwin")), EIO},
             {std::make_exception_ptr(vl::Item::Store::Error::itemNotFound()), EIO},
             {std::make_exception_ptr(std::runtime_error("broken")), EIO},
             {std::make_exception_ptr(42), EIO},
             {nullptr, EIO},
         })
        EXPECT_EQ(host::linuxErrnoFor(row.error), row.linuxErrno) << row.linuxErrno;
}

} // namespace
