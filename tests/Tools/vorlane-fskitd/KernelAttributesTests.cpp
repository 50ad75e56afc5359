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

bool same(timespec a, timespec b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

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
    for (const Row& row : std::initializer_list<Row> {
             { FSItemType::file, 0644, 0, {}, S_IFREG | 0644, 0 },
             { FSItemType::directory, 040755, 512, {}, S_IFDIR | 0755, 1 },
             { FSItemType::symlink, 0777, 513, {}, S_IFLNK | 0777, 2 },
             { FSItemType::fifo, 01004600, 1, {}, S_IFIFO | 04600, 1 },
             { FSItemType::socket, 0700, 100, 4096, S_IFSOCK | 0700, 8 },
             { FSItemType::unknown, 0700, 0, {}, 0700, 0 },
         }) {
        fskit::FSItemAttributes attributes;
        attributes.setType(row.type), attributes.setMode(row.mode), attributes.setSize(row.size);
        if (row.allocSize)
            attributes.setAllocSize(*row.allocSize);
        attributes.setFileID(fskit::FSItem::Identifier { 43 }), attributes.setLinkCount(3);
        attributes.setUid(501), attributes.setGid(20);
        attributes.setAccessTime({ 1, 2 }), attributes.setModifyTime({ 3, 4 }),
            attributes.setChangeTime({ 5, 6 });
        struct stat status = host::statFrom(attributes);
        EXPECT_EQ(status.st_mode, row.statMode) << row.mode;
        EXPECT_EQ(status.st_blocks, row.blocks) << row.size;
        EXPECT_EQ(status.st_size, static_cast<off_t>(row.size));
        EXPECT_EQ(std::tuple(status.st_ino, status.st_nlink, status.st_uid, status.st_gid),
            std::tuple(42u, 3u, 501u, 20u));
        EXPECT_TRUE(same(status.st_atim, { 1, 2 }) && same(status.st_mtim, { 3, 4 })
            && same(status.st_ctim, { 5, 6 }));
    }
}

TEST(KernelAttributes, EachSetattrBitBecomesItsFSKitAttributeAndTheNowBitsTakeTheCurrentTime)
{
    struct stat wanted { };
    wanted.st_mode = S_IFREG | 04751, wanted.st_uid = 7, wanted.st_gid = 8, wanted.st_size = 9000;
    wanted.st_atim = { 11, 12 }, wanted.st_mtim = { 13, 14 }, wanted.st_ctim = { 15, 16 };
    const timespec now { 99, 98 };
    // Each bit alone marks exactly its attribute valid.
    for (auto [toSet, valid] : std::initializer_list<std::pair<int, FSItemAttribute>> {
             { FUSE_SET_ATTR_MODE, FSItemAttribute::mode }, { FUSE_SET_ATTR_UID, FSItemAttribute::uid },
             { FUSE_SET_ATTR_GID, FSItemAttribute::gid }, { FUSE_SET_ATTR_SIZE, FSItemAttribute::size },
             { FUSE_SET_ATTR_ATIME, FSItemAttribute::accessTime },
             { FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_ATIME_NOW, FSItemAttribute::accessTime },
             { FUSE_SET_ATTR_MTIME, FSItemAttribute::modifyTime },
             { FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_MTIME_NOW, FSItemAttribute::modifyTime },
             { FUSE_SET_ATTR_CTIME, FSItemAttribute::changeTime },
             { FUSE_SET_ATTR_KILL_SUID | FUSE_SET_ATTR_FORCE, FSItemAttribute() } }) {
        auto request = host::setAttributesRequest(wanted, toSet, now);
        for (std::uint64_t bit = 1; bit <= (1u << 17); bit <<= 1)
            EXPECT_EQ(request->isValid(FSItemAttribute(bit)), valid.contains(FSItemAttribute(bit)))
                << toSet << " " << bit;
    }
    // The values come from the kernel's request; a now bit takes the current time for its own time only.
    auto all = host::setAttributesRequest(wanted,
        FUSE_SET_ATTR_MODE | FUSE_SET_ATTR_UID | FUSE_SET_ATTR_GID | FUSE_SET_ATTR_SIZE | FUSE_SET_ATTR_CTIME,
        now);
    EXPECT_EQ(
        std::tuple(all->mode(), all->uid(), all->gid(), all->size()), std::tuple(04751u, 7u, 8u, 9000u));
    EXPECT_TRUE(same(all->changeTime(), { 15, 16 }));
    auto accessNow = host::setAttributesRequest(
        wanted, FUSE_SET_ATTR_ATIME | FUSE_SET_ATTR_ATIME_NOW | FUSE_SET_ATTR_MTIME, now);
    EXPECT_TRUE(same(accessNow->accessTime(), now) && same(accessNow->modifyTime(), { 13, 14 }));
    auto modifyNow = host::setAttributesRequest(
        wanted, FUSE_SET_ATTR_MTIME | FUSE_SET_ATTR_MTIME_NOW | FUSE_SET_ATTR_ATIME, now);
    EXPECT_TRUE(same(modifyNow->modifyTime(), now) && same(modifyNow->accessTime(), { 11, 12 }));
}

TEST(KernelErrors, DarwinErrorsReachTheKernelAsTheirLinuxMeaningAndAnythingElseAsEIO)
{
    auto fs = [](int code) { return std::make_exception_ptr(fskit::fs_errorForPOSIXError(code)); };
    auto posixError = [](int code) { return std::make_exception_ptr(foundation::POSIXError(code, "test")); };
    for (const auto& [error, linuxErrno] :
        std::initializer_list<std::pair<std::exception_ptr, int>> { { fs(posix::enoattr), ENODATA },
            { fs(posix::enotsup), EOPNOTSUPP }, { fs(posix::enosys), ENOSYS }, { fs(posix::enoent), ENOENT },
            { posixError(posix::etimedout), ETIMEDOUT }, { posixError(posix::elast + 1), EIO },
            { std::make_exception_ptr(vl::Item::Store::Error::itemNotFound()), EIO },
            { std::make_exception_ptr(std::runtime_error("broken")), EIO }, { nullptr, EIO } })
        EXPECT_EQ(host::linuxErrnoFor(error), linuxErrno) << linuxErrno;
}

} // namespace
