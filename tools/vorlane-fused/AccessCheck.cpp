#include "vorlane-fused/AccessCheck.h"

#include "Common/ModePermissions.h"
#include "Platform/Foundation/POSIXErrorCode.h"
#include "vorlane-fused/BackendSupport.h"

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
    const std::uint32_t groups[] = { gid };
    std::uint32_t granted
        = services::grantedByMode(attributes.mode, attributes.uid, attributes.gid, uid, groups);
    if (wanted & ~granted)
        fail(posix::eacces, "access refused by the permission bits");
}

} // namespace fused
