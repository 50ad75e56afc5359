// The errno values of Darwin, which the FUSE conversation and the extension's code speak on
// every platform. Linux's <cerrno> defines the usual names as macros with Linux's values, so the Darwin
// values carry the usual name in lower case: posix::enosys is Darwin's ENOSYS (78).
//
// The two translations are for the places where a program meets Linux: a Linux errno becomes the
// Darwin errno of the same meaning (EIO when Darwin has none), and a Darwin errno becomes the
// Linux errno of its meaning (EIO for a value Darwin does not define).
#pragma once

#include <cstdint>

namespace posix {

inline constexpr std::int32_t eperm = 1;
inline constexpr std::int32_t enoent = 2;
inline constexpr std::int32_t esrch = 3;
inline constexpr std::int32_t eintr = 4;
inline constexpr std::int32_t eio = 5;
inline constexpr std::int32_t enxio = 6;
inline constexpr std::int32_t e2big = 7;
inline constexpr std::int32_t enoexec = 8;
inline constexpr std::int32_t ebadf = 9;
inline constexpr std::int32_t echild = 10;
inline constexpr std::int32_t edeadlk = 11;
inline constexpr std::int32_t enomem = 12;
inline constexpr std::int32_t eacces = 13;
inline constexpr std::int32_t efault = 14;
inline constexpr std::int32_t enotblk = 15;
inline constexpr std::int32_t ebusy = 16;
inline constexpr std::int32_t eexist = 17;
inline constexpr std::int32_t exdev = 18;
inline constexpr std::int32_t enodev = 19;
inline constexpr std::int32_t enotdir = 20;
inline constexpr std::int32_t eisdir = 21;
inline constexpr std::int32_t einval = 22;
inline constexpr std::int32_t enfile = 23;
inline constexpr std::int32_t emfile = 24;
inline constexpr std::int32_t enotty = 25;
inline constexpr std::int32_t etxtbsy = 26;
inline constexpr std::int32_t efbig = 27;
inline constexpr std::int32_t enospc = 28;
inline constexpr std::int32_t espipe = 29;
inline constexpr std::int32_t erofs = 30;
inline constexpr std::int32_t emlink = 31;
inline constexpr std::int32_t epipe = 32;
inline constexpr std::int32_t edom = 33;
inline constexpr std::int32_t erange = 34;
inline constexpr std::int32_t eagain = 35;
inline constexpr std::int32_t einprogress = 36;
inline constexpr std::int32_t ealready = 37;
inline constexpr std::int32_t enotsock = 38;
inline constexpr std::int32_t edestaddrreq = 39;
inline constexpr std::int32_t emsgsize = 40;
inline constexpr std::int32_t eprototype = 41;
inline constexpr std::int32_t enoprotoopt = 42;
inline constexpr std::int32_t eprotonosupport = 43;
inline constexpr std::int32_t esocktnosupport = 44;
inline constexpr std::int32_t enotsup = 45;
inline constexpr std::int32_t epfnosupport = 46;
inline constexpr std::int32_t eafnosupport = 47;
inline constexpr std::int32_t eaddrinuse = 48;
inline constexpr std::int32_t eaddrnotavail = 49;
inline constexpr std::int32_t enetdown = 50;
inline constexpr std::int32_t enetunreach = 51;
inline constexpr std::int32_t enetreset = 52;
inline constexpr std::int32_t econnaborted = 53;
inline constexpr std::int32_t econnreset = 54;
inline constexpr std::int32_t enobufs = 55;
inline constexpr std::int32_t eisconn = 56;
inline constexpr std::int32_t enotconn = 57;
inline constexpr std::int32_t eshutdown = 58;
inline constexpr std::int32_t etoomanyrefs = 59;
inline constexpr std::int32_t etimedout = 60;
inline constexpr std::int32_t econnrefused = 61;
inline constexpr std::int32_t eloop = 62;
inline constexpr std::int32_t enametoolong = 63;
inline constexpr std::int32_t ehostdown = 64;
inline constexpr std::int32_t ehostunreach = 65;
inline constexpr std::int32_t enotempty = 66;
inline constexpr std::int32_t eproclim = 67;
inline constexpr std::int32_t eusers = 68;
inline constexpr std::int32_t edquot = 69;
inline constexpr std::int32_t estale = 70;
inline constexpr std::int32_t eremote = 71;
inline constexpr std::int32_t ebadrpc = 72;
inline constexpr std::int32_t erpcmismatch = 73;
inline constexpr std::int32_t eprogunavail = 74;
inline constexpr std::int32_t eprogmismatch = 75;
inline constexpr std::int32_t eprocunavail = 76;
inline constexpr std::int32_t enolck = 77;
inline constexpr std::int32_t enosys = 78;
inline constexpr std::int32_t eftype = 79;
inline constexpr std::int32_t eauth = 80;
inline constexpr std::int32_t eneedauth = 81;
inline constexpr std::int32_t epwroff = 82;
inline constexpr std::int32_t edeverr = 83;
inline constexpr std::int32_t eoverflow = 84;
inline constexpr std::int32_t ebadexec = 85;
inline constexpr std::int32_t ebadarch = 86;
inline constexpr std::int32_t eshlibvers = 87;
inline constexpr std::int32_t ebadmacho = 88;
inline constexpr std::int32_t ecanceled = 89;
inline constexpr std::int32_t eidrm = 90;
inline constexpr std::int32_t enomsg = 91;
inline constexpr std::int32_t eilseq = 92;
inline constexpr std::int32_t enoattr = 93;
inline constexpr std::int32_t ebadmsg = 94;
inline constexpr std::int32_t emultihop = 95;
inline constexpr std::int32_t enodata = 96;
inline constexpr std::int32_t enolink = 97;
inline constexpr std::int32_t enosr = 98;
inline constexpr std::int32_t enostr = 99;
inline constexpr std::int32_t eproto = 100;
inline constexpr std::int32_t etime = 101;
inline constexpr std::int32_t eopnotsupp = 102;
inline constexpr std::int32_t enopolicy = 103;
inline constexpr std::int32_t enotrecoverable = 104;
inline constexpr std::int32_t eownerdead = 105;
inline constexpr std::int32_t eqfull = 106;
inline constexpr std::int32_t ewouldblock = eagain;
inline constexpr std::int32_t elast = eqfull;

// Whether `code` is a Darwin errno (1 through elast).
constexpr bool isDarwinErrno(std::int32_t code)
{
    return code >= 1 && code <= elast;
}

std::int32_t darwinErrnoFromLinux(int linuxErrno);
int linuxErrnoFromDarwin(std::int32_t darwinErrno);

// The calling thread's errno, as a Darwin errno.
std::int32_t currentErrno();

} // namespace posix
