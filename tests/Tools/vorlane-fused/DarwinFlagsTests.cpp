#include "vorlane-fused/DarwinFlags.h"

#include "Platform/Foundation/POSIXError.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <map>
#include <sys/xattr.h>

namespace {

using fused::LinuxOpen;
using Lock = LinuxOpen::Lock;
using Refused = foundation::POSIXError;

TEST(DarwinFlags, everyOpenBitHasItsLinuxTwinOrIsRefused)
{
    // Each Darwin bit alone; every bit not listed is refused.
    const std::map<std::uint32_t, LinuxOpen> twins { { 0x1, { O_WRONLY } }, { 0x2, { O_RDWR } },
        { 0x4, { O_NONBLOCK } }, { 0x8, { O_APPEND } }, { 0x10, { 0, Lock::shared } },
        { 0x20, { 0, Lock::exclusive } }, { 0x40, { O_ASYNC } }, { 0x80, { O_SYNC } },
        { 0x100, { O_NOFOLLOW } }, { 0x200, { O_CREAT } }, { 0x400, { O_TRUNC } }, { 0x800, { O_EXCL } },
        { 0x8000, { 0 } }, { 0x20000, { O_NOCTTY } }, { 0x100000, { O_DIRECTORY } },
        { 0x200000, { O_NOFOLLOW, Lock::none, true } }, { 0x400000, { O_DSYNC } },
        { 0x1000000, { O_CLOEXEC } } };
    auto fields = [](const LinuxOpen& open) { return std::tuple(open.flags, open.lock, open.linkItself); };
    for (std::uint32_t bit = 1; bit != 0; bit <<= 1) {
        auto twin = twins.find(bit);
        if (twin == twins.end())
            EXPECT_THROW(fused::linuxOpenFromDarwin(bit), Refused) << bit;
        else
            EXPECT_EQ(fields(fused::linuxOpenFromDarwin(bit)), fields(twin->second)) << bit;
    }
    EXPECT_EQ(fused::linuxOpenFromDarwin(0).flags, O_RDONLY);
    EXPECT_EQ(
        fused::linuxOpenFromDarwin(0x1000a09).flags, O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC);
    EXPECT_THROW(fused::linuxOpenFromDarwin(0x3), Refused);
    EXPECT_THROW(fused::linuxOpenFromDarwin(0x30), Refused);
}

TEST(DarwinFlags, renameFlagsSwapOrExcludeButNotBoth)
{
    const std::map<std::uint32_t, unsigned> twins { { 0, 0 }, { 0x2, RENAME_EXCHANGE },
        { 0x4, RENAME_NOREPLACE } };
    for (std::uint32_t bit = 1; bit != 0; bit <<= 1) {
        if (!twins.contains(bit)) {
            EXPECT_THROW(fused::linuxRenameFlagsFromDarwin(bit), Refused) << bit;
        }
    }
    for (auto [darwinFlags, linuxFlags] : twins)
        EXPECT_EQ(fused::linuxRenameFlagsFromDarwin(darwinFlags), linuxFlags);
    EXPECT_THROW(fused::linuxRenameFlagsFromDarwin(0x6), Refused);
}

TEST(DarwinFlags, xattrFlagsCreateOrReplaceAndNoFollowSelectsTheLinkItself)
{
    // Every combination of the three Darwin bits, then every bit beyond them.
    for (std::uint32_t darwinFlags = 0; darwinFlags < 8; ++darwinFlags) {
        if ((darwinFlags & 0x6) == 0x6) {
            EXPECT_THROW(fused::linuxXattrFromDarwin(darwinFlags), Refused);
            continue;
        }
        fused::LinuxXattr xattr = fused::linuxXattrFromDarwin(darwinFlags);
        EXPECT_EQ(xattr.flags,
            ((darwinFlags & 0x2) ? XATTR_CREATE : 0) | ((darwinFlags & 0x4) ? XATTR_REPLACE : 0));
        EXPECT_EQ(xattr.linkItself, (darwinFlags & 0x1) != 0);
    }
    for (std::uint32_t bit = 8; bit != 0; bit <<= 1)
        EXPECT_THROW(fused::linuxXattrFromDarwin(bit), Refused) << bit;
}

} // namespace
