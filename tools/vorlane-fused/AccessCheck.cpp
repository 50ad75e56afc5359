#include "vorlane-fused/AccessCheck.h"

#include "vorlane-fused/BackendSupport.h"
#include "Platform/Foundation/POSIXErrorCode.h"

namespace fused {
namespace {

constexpr std::uint32_t readBit = 4, writeBit = 2, executeBit = 1;
constexpr std::uint32_t extendedBits = 0x3ffe00;
constexpr std::uint32_t extendedReads = 0x200 | 0x8000 | 0x20000 | 0x80000;
constexpr std::uint32_t extendedExecute = 0x800;
constexpr std::uint32_t extendedWrites = extendedBits & ~extendedReads & ~extendedExecute;

} // namespace

void checkAccess(const vl::fuse_attr& attributes, std::uint32_t uid, std::uint32_t gid, std::uint32_t mask)
{
    if (mask & ~(extendedBits | 7u))
        fail(posix::einval, "access check with bits unknown to Darwin");
    std::uint32_t wanted = mask & 7u;
    if (mask & extendedReads)
        wanted |= readBit;
    if (mask & extendedWrites)
        wanted |= writeBit;
    if (mask & extendedExecute)
        wanted |= executeBit;
    std::uint32_t granted;
    if (uid == 0) {
        const bool executable = S_ISDIR(attributes.mode) || (attributes.mode & 0111);
        granted = readBit | writeBit | (executable ? executeBit : 0);
    } else if (uid == attributes.uid) {
        granted = (attributes.mode >> 6) & 7;
    } else if (gid == attributes.gid) {
        granted = (attributes.mode >> 3) & 7;
    } else {
        granted = attributes.mode & 7;
    }
    if (wanted & ~granted)
        fail(posix::eacces, "access refused by the permission bits");
}

} // namespace fused
