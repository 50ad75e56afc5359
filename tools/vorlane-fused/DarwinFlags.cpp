#include "vorlane-fused/DarwinFlags.h"

#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/POSIXErrorCode.h"

#include <cstdio> // RENAME_EXCHANGE, RENAME_NOREPLACE
#include <fcntl.h>
#include <sys/xattr.h>

namespace fused {
namespace {

struct Twin {
    std::uint32_t darwin;
    unsigned linuxFlag;
};

// Darwin open flags with a Linux flag of the same meaning. O_SYNC's Linux value includes O_DSYNC's
// bit, as Linux defines it.
constexpr Twin openTwins[] = {
    { darwin::o_nonblock, O_NONBLOCK },
    { darwin::o_append, O_APPEND },
    { darwin::o_async, O_ASYNC },
    { darwin::o_sync, O_SYNC },
    { darwin::o_nofollow, O_NOFOLLOW },
    { darwin::o_creat, O_CREAT },
    { darwin::o_trunc, O_TRUNC },
    { darwin::o_excl, O_EXCL },
    { darwin::o_noctty, O_NOCTTY },
    { darwin::o_directory, O_DIRECTORY },
    { darwin::o_symlink, O_NOFOLLOW },
    { darwin::o_dsync, O_DSYNC },
    { darwin::o_cloexec, O_CLOEXEC },
};
constexpr std::uint32_t openKnown = darwin::o_accmode | darwin::o_nonblock | darwin::o_append
    | darwin::o_shlock | darwin::o_exlock | darwin::o_async | darwin::o_sync | darwin::o_nofollow
    | darwin::o_creat | darwin::o_trunc | darwin::o_excl | darwin::o_evtonly | darwin::o_noctty
    | darwin::o_directory | darwin::o_symlink | darwin::o_dsync | darwin::o_cloexec;

constexpr Twin renameTwins[] = {
    { darwin::rename_swap, RENAME_EXCHANGE },
    { darwin::rename_excl, RENAME_NOREPLACE },
};

constexpr Twin xattrTwins[] = {
    { darwin::xattr_create, XATTR_CREATE },
    { darwin::xattr_replace, XATTR_REPLACE },
};

[[noreturn]] void refuse(const char* what)
{
    throw foundation::POSIXError(posix::einval, what);
}

template <std::size_t count> unsigned translate(std::uint32_t darwinFlags, const Twin (&twins)[count])
{
    unsigned result = 0;
    for (const Twin& twin : twins)
        if (darwinFlags & twin.darwin)
            result |= twin.linuxFlag;
    return result;
}

bool all(std::uint32_t flags, std::uint32_t bits)
{
    return (flags & bits) == bits;
}

} // namespace

LinuxOpen linuxOpenFromDarwin(std::uint32_t darwinFlags)
{
    if (darwinFlags & ~openKnown)
        refuse("open flags unknown to Darwin");
    if ((darwinFlags & darwin::o_accmode) == darwin::o_accmode)
        refuse("open access mode 3");
    if (all(darwinFlags, darwin::o_shlock | darwin::o_exlock))
        refuse("open with both a shared and an exclusive lock");
    // The access modes have the same values on both.
    static_assert(darwin::o_rdonly == O_RDONLY && darwin::o_wronly == O_WRONLY && darwin::o_rdwr == O_RDWR);
    LinuxOpen open;
    open.flags = static_cast<int>((darwinFlags & darwin::o_accmode) | translate(darwinFlags, openTwins));
    if (darwinFlags & darwin::o_shlock)
        open.lock = LinuxOpen::Lock::shared;
    if (darwinFlags & darwin::o_exlock)
        open.lock = LinuxOpen::Lock::exclusive;
    open.linkItself = (darwinFlags & darwin::o_symlink) != 0;
    return open;
}

unsigned linuxRenameFlagsFromDarwin(std::uint32_t darwinFlags)
{
    if (darwinFlags & ~(darwin::rename_swap | darwin::rename_excl))
        refuse("rename flags unknown to Darwin");
    if (all(darwinFlags, darwin::rename_swap | darwin::rename_excl))
        refuse("rename that both swaps and must not replace");
    return translate(darwinFlags, renameTwins);
}

LinuxXattr linuxXattrFromDarwin(std::uint32_t darwinFlags)
{
    if (darwinFlags & ~(darwin::xattr_nofollow | darwin::xattr_create | darwin::xattr_replace))
        refuse("extended-attribute flags unknown to Darwin");
    if (all(darwinFlags, darwin::xattr_create | darwin::xattr_replace))
        refuse("extended attribute both to create and to replace");
    return LinuxXattr { static_cast<int>(translate(darwinFlags, xattrTwins)),
        (darwinFlags & darwin::xattr_nofollow) != 0 };
}

} // namespace fused
