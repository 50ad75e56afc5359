#include "vorlane-fskitd/KernelAttributes.h"

#include "vorlane-fskitd/NodeTable.h"

#include <fuse_lowlevel.h>

namespace host {

mode_t typeBits(fskit::FSItemType type)
{
    switch (type) {
    case fskit::FSItemType::file:
        return S_IFREG;
    case fskit::FSItemType::directory:
        return S_IFDIR;
    case fskit::FSItemType::symlink:
        return S_IFLNK;
    case fskit::FSItemType::fifo:
        return S_IFIFO;
    case fskit::FSItemType::charDevice:
        return S_IFCHR;
    case fskit::FSItemType::blockDevice:
        return S_IFBLK;
    case fskit::FSItemType::socket:
        return S_IFSOCK;
    case fskit::FSItemType::unknown:
        break;
    }
    // No type bits: the kernel refuses such an inode with EIO.
    return 0;
}

namespace {

constexpr std::uint64_t sectorSize = 512;

} // namespace

struct stat statFrom(const fskit::FSItemAttributes& attributes)
{
    struct stat status { };
    status.st_ino = NodeTable::inodeOf(attributes.fileID());
    status.st_mode = typeBits(attributes.type()) | (attributes.mode() & 07777);
    status.st_nlink = attributes.linkCount();
    status.st_uid = attributes.uid();
    status.st_gid = attributes.gid();
    status.st_size = static_cast<off_t>(attributes.size());
    std::uint64_t allocated
        = attributes.isValid(fskit::FSItemAttribute::allocSize) ? attributes.allocSize() : attributes.size();
    status.st_blocks = static_cast<blkcnt_t>((allocated + sectorSize - 1) / sectorSize);
    status.st_atim = attributes.accessTime();
    status.st_mtim = attributes.modifyTime();
    status.st_ctim = attributes.changeTime();
    return status;
}

std::shared_ptr<fskit::FSItemSetAttributesRequest> setAttributesRequest(
    const struct stat& wanted, int toSet, timespec now)
{
    auto request = std::make_shared<fskit::FSItemSetAttributesRequest>();
    if (toSet & FUSE_SET_ATTR_MODE)
        request->setMode(wanted.st_mode & 07777);
    if (toSet & FUSE_SET_ATTR_UID)
        request->setUid(wanted.st_uid);
    if (toSet & FUSE_SET_ATTR_GID)
        request->setGid(wanted.st_gid);
    if (toSet & FUSE_SET_ATTR_SIZE)
        request->setSize(static_cast<std::uint64_t>(wanted.st_size));
    if (toSet & FUSE_SET_ATTR_ATIME_NOW)
        request->setAccessTime(now);
    else if (toSet & FUSE_SET_ATTR_ATIME)
        request->setAccessTime(wanted.st_atim);
    if (toSet & FUSE_SET_ATTR_MTIME_NOW)
        request->setModifyTime(now);
    else if (toSet & FUSE_SET_ATTR_MTIME)
        request->setModifyTime(wanted.st_mtim);
    if (toSet & FUSE_SET_ATTR_CTIME)
        request->setChangeTime(wanted.st_ctim);
    return request;
}

std::shared_ptr<fskit::FSItemSetAttributesRequest> newItemAttributes(
    uid_t uid, gid_t gid, const struct stat& directory, mode_t mode, bool isDirectory)
{
    bool inheritsGroup = (directory.st_mode & S_ISGID) != 0;
    auto request = std::make_shared<fskit::FSItemSetAttributesRequest>();
    request->setUid(uid);
    request->setGid(inheritsGroup ? directory.st_gid : gid);
    request->setMode((mode & (S_IFMT | 07777)) | (inheritsGroup && isDirectory ? S_ISGID : 0));
    return request;
}

struct statvfs statvfsFrom(const fskit::FSStatFSResult& statistics, std::int64_t maximumNameLength)
{
    struct statvfs status { };
    status.f_bsize = static_cast<unsigned long>(statistics.ioSize);
    status.f_frsize = static_cast<unsigned long>(statistics.blockSize);
    status.f_blocks = statistics.totalBlocks;
    status.f_bfree = statistics.freeBlocks;
    status.f_bavail = statistics.availableBlocks;
    status.f_files = statistics.totalFiles;
    status.f_ffree = statistics.freeFiles;
    status.f_favail = statistics.freeFiles;
    status.f_namemax = static_cast<unsigned long>(maximumNameLength);
    return status;
}

} // namespace host
