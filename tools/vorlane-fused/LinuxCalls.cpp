#include "vorlane-fused/LinuxCalls.h"

#include "Platform/Foundation/POSIXErrorCode.h"
#include "vorlane-fused/BackendSupport.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/sysmacros.h>

namespace fused::linuxcalls {
namespace {

void setTime(std::int64_t& seconds, std::int32_t& nanoseconds, const statx_timestamp& time)
{
    seconds = time.tv_sec;
    nanoseconds = static_cast<std::int32_t>(time.tv_nsec);
}

} // namespace

void failFromLinux(const std::string& what)
{
    fail(posix::darwinErrnoFromLinux(errno), what);
}

struct statx status(int descriptor)
{
    struct statx status { };
    check(::statx(
              descriptor, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &status),
        "statx");
    return status;
}

std::string procPath(int descriptor)
{
    return "/proc/self/fd/" + std::to_string(descriptor);
}

vl::fuse_attr attributesOf(const struct statx& status, std::uint64_t node)
{
    vl::fuse_attr attributes {};
    attributes.ino = node;
    attributes.size = status.stx_size;
    attributes.blocks = status.stx_blocks;
    setTime(attributes.atime, attributes.atimensec, status.stx_atime);
    setTime(attributes.mtime, attributes.mtimensec, status.stx_mtime);
    setTime(attributes.ctime, attributes.ctimensec, status.stx_ctime);
    // Zero where the host's file system keeps no birth time.
    if (status.stx_mask & STATX_BTIME)
        setTime(attributes.crtime, attributes.crtimensec, status.stx_btime);
    attributes.mode = status.stx_mode;
    attributes.nlink = status.stx_nlink;
    attributes.uid = status.stx_uid;
    attributes.gid = status.stx_gid;
    // A Darwin dev_t: the major number in the top 8 bits, the minor in the low 24.
    attributes.rdev = (status.stx_rdev_major & 0xffu) << 24 | (status.stx_rdev_minor & 0xffffffu);
    attributes.blksize = status.stx_blksize;
    return attributes;
}

dev_t linuxDevice(std::uint32_t darwinDevice)
{
    return makedev(darwinDevice >> 24, darwinDevice & 0xffffffu);
}

} // namespace fused::linuxcalls
