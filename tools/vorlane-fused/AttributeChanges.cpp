#include "vorlane-fused/AttributeChanges.h"

#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/POSIXErrorCode.h"

namespace fused {
namespace {

std::optional<timespec> time(
    std::uint32_t valid, std::uint32_t bit, std::int64_t seconds, std::int32_t nanoseconds)
{
    if (!(valid & bit))
        return std::nullopt;
    if (nanoseconds < 0 || nanoseconds > 999'999'999)
        throw foundation::POSIXError(posix::einval, "set a time with nanoseconds out of range");
    return timespec { static_cast<time_t>(seconds), nanoseconds };
}

template <typename Value> std::optional<Value> field(std::uint32_t valid, std::uint32_t bit, Value value)
{
    return (valid & bit) ? std::optional(value) : std::nullopt;
}

} // namespace

AttributeChanges AttributeChanges::from(const vl::fuse_setattr_in& request)
{
    const std::uint32_t valid = request.valid;
    AttributeChanges changes;
    changes.mode = field(valid, vl::FATTR_MODE, request.mode & 07777u);
    changes.uid = field(valid, vl::FATTR_UID, request.uid);
    changes.gid = field(valid, vl::FATTR_GID, request.gid);
    changes.size = field(valid, vl::FATTR_SIZE, request.size);
    changes.accessTime = time(valid, vl::FATTR_ATIME, request.atime, request.atimensec);
    changes.modifyTime = time(valid, vl::FATTR_MTIME, request.mtime, request.mtimensec);
    changes.changeTime = time(valid, vl::FATTR_CHGTIME, request.chgtime, request.chgtimensec);
    changes.birthTime = time(valid, vl::FATTR_CRTIME, request.crtime, request.crtimensec);
    changes.backupTime = time(valid, vl::FATTR_BKUPTIME, request.bkuptime, request.bkuptimensec);
    changes.flags = field(valid, vl::FATTR_FLAGS, request.flags);
    changes.fh = field(valid, vl::FATTR_FH, request.fh);
    return changes;
}

} // namespace fused
