// The Darwin flags that requests carry on the wire, translated into the flags of Linux's calls:
// open flags, rename flags and extended-attribute flags, one table each. A bit outside a table, or
// a combination Darwin itself refuses, fails with foundation::POSIXError(posix::einval): the
// volume sends only bits it knows, so anything else is a request the daemon must not guess at.
// Darwin bits with no Linux flag of their own come back as fields the caller acts on.
#pragma once

#include <cstdint>

namespace fused {

// Darwin's values, under the usual names in lower case (Linux's headers define the usual names as
// macros with Linux's values).
namespace darwin {
inline constexpr std::uint32_t o_rdonly = 0x0;
inline constexpr std::uint32_t o_wronly = 0x1;
inline constexpr std::uint32_t o_rdwr = 0x2;
inline constexpr std::uint32_t o_accmode = 0x3;
inline constexpr std::uint32_t o_nonblock = 0x4;
inline constexpr std::uint32_t o_append = 0x8;
inline constexpr std::uint32_t o_shlock = 0x10;
inline constexpr std::uint32_t o_exlock = 0x20;
inline constexpr std::uint32_t o_async = 0x40;
inline constexpr std::uint32_t o_sync = 0x80;
inline constexpr std::uint32_t o_nofollow = 0x100;
inline constexpr std::uint32_t o_creat = 0x200;
inline constexpr std::uint32_t o_trunc = 0x400;
inline constexpr std::uint32_t o_excl = 0x800;
inline constexpr std::uint32_t o_evtonly = 0x8000;
inline constexpr std::uint32_t o_noctty = 0x20000;
inline constexpr std::uint32_t o_directory = 0x100000;
inline constexpr std::uint32_t o_symlink = 0x200000;
inline constexpr std::uint32_t o_dsync = 0x400000;
inline constexpr std::uint32_t o_cloexec = 0x1000000;

inline constexpr std::uint32_t rename_swap = 0x2;
inline constexpr std::uint32_t rename_excl = 0x4;

inline constexpr std::uint32_t xattr_nofollow = 0x1;
inline constexpr std::uint32_t xattr_create = 0x2;
inline constexpr std::uint32_t xattr_replace = 0x4;
} // namespace darwin

// What an open with Darwin flags becomes on Linux.
struct LinuxOpen {
    enum class Lock { none, shared, exclusive };

    // For open(2)/openat(2). O_SYMLINK adds O_NOFOLLOW, so that the open never goes through
    // the link.
    int flags = 0;
    // O_SHLOCK / O_EXLOCK: Linux takes the lock with flock(2) after the open (without waiting
    // when O_NONBLOCK is set).
    Lock lock = Lock::none;
    // O_SYMLINK: a symbolic link is opened as the link itself, not refused with ELOOP.
    bool linkItself = false;
};

// O_EVTONLY (an open only to watch for changes) has no effect on Linux and is dropped. Both lock
// bits together, and the access mode 3, are refused as Darwin refuses them.
LinuxOpen linuxOpenFromDarwin(std::uint32_t darwinFlags);

// RENAME_SWAP -> RENAME_EXCHANGE, RENAME_EXCL -> RENAME_NOREPLACE; both together are refused.
unsigned linuxRenameFlagsFromDarwin(std::uint32_t darwinFlags);

// What an extended-attribute call with Darwin flags becomes on Linux.
struct LinuxXattr {
    // XATTR_CREATE / XATTR_REPLACE of <sys/xattr.h>.
    int flags = 0;
    // XATTR_NOFOLLOW: the l*xattr form of the call, acting on a symbolic link itself.
    bool linkItself = false;
};

// XATTR_CREATE and XATTR_REPLACE together are refused.
LinuxXattr linuxXattrFromDarwin(std::uint32_t darwinFlags);

} // namespace fused
