// Extended attributes, access checks, synchronisation and the volume's name.
//
// Linux asks for a value or a listing with the size of its buffer: size 0 asks for the length
// only, a buffer too small is ERANGE. The volume's name is read and set as the extended attribute
// volumeNameAttribute of the root, which no file system stores (its namespace is none of Linux's),
// so that `vorlane rename` needs nothing but setxattr(2) on the mount point.
#include "vorlane-fskitd/KernelAttributes.h"
#include "vorlane-fskitd/KernelOperations+Pending.h"

#include "Common/ModePermissions.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace host {

void KernelOperations::answerValue(
    Pending& answer, std::size_t bufferSize, std::span<const std::uint8_t> value)
{
    if (bufferSize == 0)
        return answer.size(value.size());
    if (value.size() > bufferSize)
        return answer.fail(ERANGE);
    answer.bytes(value.data(), value.size());
}

bool KernelOperations::namesVolume(fuse_ino_t inode, const char* name)
{
    return inode == NodeTable::rootInode && std::strcmp(name, volumeNameAttribute) == 0;
}

void KernelOperations::getxattr(fuse_req_t request, fuse_ino_t inode, const char* name, std::size_t size)
{
    ItemPointer item = itemOrStale(request, inode);
    if (!item)
        return;
    if (namesVolume(inode, name))
        return answerValue(*pending(request), size, volume->name().data());
    const bool capabilities = name == CapabilityAbsence::attributeName;
    if (capabilities && noCapabilities.known(inode, CapabilityAbsence::Clock::now()))
        return static_cast<void>(fuse_reply_err(request, ENODATA));
    CapabilityAbsence::Ticket asked = noCapabilities.ticket();
    volume->xattr(nameOf(name), item,
        [this, inode, capabilities, asked, answer = pending(request), size](
            std::optional<foundation::Data> value, std::exception_ptr error) {
            if (error) {
                if (capabilities && linuxErrnoFor(error) == ENODATA)
                    noCapabilities.remember(inode, CapabilityAbsence::Clock::now(), asked);
                return answer->fail(error);
            }
            answerValue(*answer, size, value->bytes());
        });
}

void KernelOperations::listxattr(fuse_req_t request, fuse_ino_t inode, std::size_t size)
{
    ItemPointer item = itemOrStale(request, inode);
    if (!item)
        return;
    volume->xattrs(item,
        [answer = pending(request), size](std::vector<fskit::FSFileName> names, std::exception_ptr error) {
            if (error)
                return answer->fail(error);
            std::vector<std::uint8_t> listing;
            for (const fskit::FSFileName& name : names) {
                listing.insert(listing.end(), name.data().begin(), name.data().end());
                listing.push_back(0);
            }
            answerValue(*answer, size, listing);
        });
}

void KernelOperations::setxattr(
    fuse_req_t request, fuse_ino_t inode, const char* name, const char* value, std::size_t size, int flags)
{
    using Policy = fskit::FSSetXattrPolicy;
    ItemPointer item = itemOrStale(request, inode);
    if (!item)
        return;
    if (namesVolume(inode, name))
        return renameVolume(request, std::string(value, size));
    if (name == CapabilityAbsence::attributeName)
        noCapabilities.forget(inode);
    Policy policy = Policy::alwaysSet;
    if (flags == XATTR_CREATE)
        policy = Policy::mustCreate;
    else if (flags == XATTR_REPLACE)
        policy = Policy::mustReplace;
    else if (flags != 0)
        return static_cast<void>(fuse_reply_err(request, EINVAL));
    volume->setXattr(nameOf(name), foundation::Data(value, size), item, policy,
        [answer = pending(request)](std::exception_ptr error) {
            if (error)
                return answer->fail(error);
            answer->succeed();
        });
}

void KernelOperations::removexattr(fuse_req_t request, fuse_ino_t inode, const char* name)
{
    ItemPointer item = itemOrStale(request, inode);
    if (!item)
        return;
    if (namesVolume(inode, name))
        return static_cast<void>(fuse_reply_err(request, EPERM));
    if (name == CapabilityAbsence::attributeName)
        noCapabilities.forget(inode);
    volume->setXattr(nameOf(name), std::nullopt, item, fskit::FSSetXattrPolicy::deleteXattr,
        [answer = pending(request)](std::exception_ptr error) {
            if (error)
                return answer->fail(error);
            answer->succeed();
        });
}

void KernelOperations::renameVolume(fuse_req_t request, const std::string& name)
{
    if (volume->isVolumeRenameInhibited())
        return static_cast<void>(fuse_reply_err(request, EOPNOTSUPP));
    if (name.empty() || name.find('\0') != std::string::npos)
        return static_cast<void>(fuse_reply_err(request, EINVAL));
    volume->setVolumeName(fskit::FSFileName(std::string_view(name)),
        [answer = pending(request)](std::optional<fskit::FSFileName>, std::exception_ptr error) {
            if (error)
                return answer->fail(error);
            answer->succeed();
        });
}

// The volume's requests carry uid 0, so the volume answers for the file system as a whole (a
// read-only or busy node, the daemon's own rules); the caller's identity is checked here against
// the permission bits first, as the kernel does when it checks permissions itself.
void KernelOperations::access(fuse_req_t request, fuse_ino_t inode, int mask)
{
    ItemPointer item = itemOrStale(request, inode);
    if (!item)
        return;
    // The item exists: the kernel has it.
    if (mask == F_OK)
        return static_cast<void>(fuse_reply_err(request, 0));
    const fuse_ctx caller = *fuse_req_ctx(request);
    std::vector<std::uint32_t> groups { caller.gid };
    gid_t supplementary[64];
    int count = fuse_req_getgroups(request, 64, supplementary);
    groups.insert(groups.end(), supplementary, supplementary + std::clamp(count, 0, 64));
    volume->attributes(everyAttribute(), item,
        [this, item, mask, uid = caller.uid, groups, answer = pending(request)](
            Attributes attributes, std::exception_ptr error) {
            if (error)
                return answer->fail(error);
            const struct stat node = statFrom(*attributes);
            if (mask & ~services::grantedByMode(node.st_mode, node.st_uid, node.st_gid, uid, groups))
                return answer->fail(EACCES);
            fskit::FSAccessMask wanted;
            if (mask & R_OK)
                wanted.insert(fskit::FSAccessMask::readData);
            if (mask & W_OK)
                wanted.insert(fskit::FSAccessMask::writeData);
            if (mask & X_OK)
                wanted.insert(fskit::FSAccessMask::execute);
            volume->checkAccess(item, wanted, [answer](bool granted, std::exception_ptr error) {
                if (error)
                    return answer->fail(error);
                answer->fail(granted ? 0 : EACCES);
            });
        });
}

} // namespace host
