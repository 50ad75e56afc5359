#include "VLFSModule/FSItemAttributes+FUSE.h"

#include "Platform/FSKit/FSError.h"
#include "Platform/Foundation/POSIXErrorCode.h"

#include <limits>
#include <sys/stat.h>

namespace vl {
namespace {

constexpr std::uint64_t unknownInode = 0xFFFFFFFF;

fskit::FSItemType itemTypeFromMode(std::uint32_t mode)
{
    switch (mode & S_IFMT) {
    case S_IFIFO:
        return fskit::FSItemType::fifo;
    case S_IFCHR:
        return fskit::FSItemType::charDevice;
    case S_IFDIR:
        return fskit::FSItemType::directory;
    case S_IFBLK:
        return fskit::FSItemType::blockDevice;
    case S_IFREG:
        return fskit::FSItemType::file;
    case S_IFLNK:
        return fskit::FSItemType::symlink;
    case S_IFSOCK:
        return fskit::FSItemType::socket;
    default:
        return fskit::FSItemType::unknown;
    }
}

timespec timeOf(std::int64_t seconds, std::int32_t nanoseconds)
{
    timespec time {};
    time.tv_sec = seconds;
    time.tv_nsec = nanoseconds;
    return time;
}

bool fitsNanoseconds(const timespec& time)
{
    return time.tv_nsec >= std::numeric_limits<std::int32_t>::min()
        && time.tv_nsec <= std::numeric_limits<std::int32_t>::max();
}

// One time attribute of a set request and where FUSE carries it.
struct TimeField {
    fskit::FSItemAttribute attribute;
    timespec (fskit::FSItemAttributes::*get)() const;
    std::int64_t fuse_setattr_in::*seconds;
    std::int32_t fuse_setattr_in::*nanoseconds;
    std::uint32_t valid;
};

// In the order the fields are translated; the change time goes to Darwin's chgtime, never to
// the unused ctime slot.
constexpr TimeField timeFields[] = {
    { fskit::FSItemAttribute::accessTime, &fskit::FSItemAttributes::accessTime, &fuse_setattr_in::atime,
        &fuse_setattr_in::atimensec, FATTR_ATIME },
    { fskit::FSItemAttribute::changeTime, &fskit::FSItemAttributes::changeTime, &fuse_setattr_in::chgtime,
        &fuse_setattr_in::chgtimensec, FATTR_CHGTIME },
    { fskit::FSItemAttribute::modifyTime, &fskit::FSItemAttributes::modifyTime, &fuse_setattr_in::mtime,
        &fuse_setattr_in::mtimensec, FATTR_MTIME },
    { fskit::FSItemAttribute::birthTime, &fskit::FSItemAttributes::birthTime, &fuse_setattr_in::crtime,
        &fuse_setattr_in::crtimensec, FATTR_CRTIME },
    { fskit::FSItemAttribute::backupTime, &fskit::FSItemAttributes::backupTime, &fuse_setattr_in::bkuptime,
        &fuse_setattr_in::bkuptimensec, FATTR_BKUPTIME },
};

} // namespace

fskit::FSItem::Identifier fileIDFromFUSE(std::uint64_t node)
{
    if (node == unknownInode || node == std::numeric_limits<std::uint64_t>::max())
        return fskit::FSItem::Identifier::invalid;
    return static_cast<fskit::FSItem::Identifier>(node + 1);
}

std::uint64_t nodeIDOf(fskit::FSItem::Identifier fileID)
{
    return static_cast<std::uint64_t>(fileID) - 1;
}

void apply(fskit::FSItemAttributes& attributes, const fuse_attr& reported)
{
    attributes.setUid(reported.uid);
    attributes.setGid(reported.gid);
    attributes.setMode(reported.mode & ~static_cast<std::uint32_t>(S_IFMT));
    attributes.setType(itemTypeFromMode(reported.mode));
    attributes.setLinkCount(reported.nlink);
    attributes.setFlags(reported.flags);
    attributes.setSize(reported.size);
    attributes.setFileID(fileIDFromFUSE(reported.ino));
    attributes.setSupportsLimitedXAttrs(false);
    attributes.setInhibitKernelOffloadedIO(true);
    attributes.setModifyTime(timeOf(reported.mtime, reported.mtimensec));
    attributes.setChangeTime(timeOf(reported.ctime, reported.ctimensec));
    attributes.setAccessTime(timeOf(reported.atime, reported.atimensec));
    attributes.setBirthTime(timeOf(reported.crtime, reported.crtimensec));
}

void toFUSE(fskit::FSItemSetAttributesRequest& request, fuse_setattr_in& in)
{
    for (const TimeField& field : timeFields)
        if (request.isValid(field.attribute) && !fitsNanoseconds((request.*field.get)()))
            throw fskit::fs_errorForPOSIXError(posix::einval);

    auto translate = [&](fskit::FSItemAttribute attribute, std::uint32_t valid, auto copy) {
        if (!request.isValid(attribute))
            return;
        request.consumedAttributes.insert(attribute);
        copy();
        in.valid |= valid;
    };
    translate(fskit::FSItemAttribute::uid, FATTR_UID, [&] { in.uid = request.uid(); });
    translate(fskit::FSItemAttribute::gid, FATTR_GID, [&] { in.gid = request.gid(); });
    translate(fskit::FSItemAttribute::mode, FATTR_MODE, [&] { in.mode = request.mode(); });
    translate(fskit::FSItemAttribute::flags, FATTR_FLAGS, [&] { in.flags = request.flags(); });
    translate(fskit::FSItemAttribute::size, FATTR_SIZE, [&] { in.size = request.size(); });
    for (const TimeField& field : timeFields)
        translate(field.attribute, field.valid, [&] {
            timespec time = (request.*field.get)();
            in.*field.seconds = time.tv_sec;
            in.*field.nanoseconds = static_cast<std::int32_t>(time.tv_nsec);
        });
}

fskit::FSItemType itemTypeFrom(std::uint32_t direntType)
{
    // A DT_* value is the file-type bits of a mode shifted right by 12.
    if (direntType > (S_IFMT >> 12))
        return fskit::FSItemType::unknown;
    return itemTypeFromMode(direntType << 12);
}

} // namespace vl
