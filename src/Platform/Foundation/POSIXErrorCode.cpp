#include "Platform/Foundation/POSIXErrorCode.h"

#include <array>
#include <cerrno>

namespace posix {

namespace {

// Darwin errno i is entry i - 1: the Linux errno of the same meaning.
constexpr std::array<int, elast> linuxMeaning {
    EPERM, // EPERM
    ENOENT, // ENOENT
    ESRCH, // ESRCH
    EINTR, // EINTR
    EIO, // EIO
    ENXIO, // ENXIO
    E2BIG, // E2BIG
    ENOEXEC, // ENOEXEC
    EBADF, // EBADF
    ECHILD, // ECHILD
    EDEADLK, // EDEADLK
    ENOMEM, // ENOMEM
    EACCES, // EACCES
    EFAULT, // EFAULT
    ENOTBLK, // ENOTBLK
    EBUSY, // EBUSY
    EEXIST, // EEXIST
    EXDEV, // EXDEV
    ENODEV, // ENODEV
    ENOTDIR, // ENOTDIR
    EISDIR, // EISDIR
    EINVAL, // EINVAL
    ENFILE, // ENFILE
    EMFILE, // EMFILE
    ENOTTY, // ENOTTY
    ETXTBSY, // ETXTBSY
    EFBIG, // EFBIG
    ENOSPC, // ENOSPC
    ESPIPE, // ESPIPE
    EROFS, // EROFS
    EMLINK, // EMLINK
    EPIPE, // EPIPE
    EDOM, // EDOM
    ERANGE, // ERANGE
    EAGAIN, // EAGAIN
    EINPROGRESS, // EINPROGRESS
    EALREADY, // EALREADY
    ENOTSOCK, // ENOTSOCK
    EDESTADDRREQ, // EDESTADDRREQ
    EMSGSIZE, // EMSGSIZE
    EPROTOTYPE, // EPROTOTYPE
    ENOPROTOOPT, // ENOPROTOOPT
    EPROTONOSUPPORT, // EPROTONOSUPPORT
    ESOCKTNOSUPPORT, // ESOCKTNOSUPPORT
    EOPNOTSUPP, // ENOTSUP
    EPFNOSUPPORT, // EPFNOSUPPORT
    EAFNOSUPPORT, // EAFNOSUPPORT
    EADDRINUSE, // EADDRINUSE
    EADDRNOTAVAIL, // EADDRNOTAVAIL
    ENETDOWN, // ENETDOWN
    ENETUNREACH, // ENETUNREACH
    ENETRESET, // ENETRESET
    ECONNABORTED, // ECONNABORTED
    ECONNRESET, // ECONNRESET
    ENOBUFS, // ENOBUFS
    EISCONN, // EISCONN
    ENOTCONN, // ENOTCONN
    ESHUTDOWN, // ESHUTDOWN
    ETOOMANYREFS, // ETOOMANYREFS
    ETIMEDOUT, // ETIMEDOUT
    ECONNREFUSED, // ECONNREFUSED
    ELOOP, // ELOOP
    ENAMETOOLONG, // ENAMETOOLONG
    EHOSTDOWN, // EHOSTDOWN
    EHOSTUNREACH, // EHOSTUNREACH
    ENOTEMPTY, // ENOTEMPTY
    EAGAIN, // EPROCLIM
    EUSERS, // EUSERS
    EDQUOT, // EDQUOT
    ESTALE, // ESTALE
    EREMOTE, // EREMOTE
    EIO, // EBADRPC
    EIO, // ERPCMISMATCH
    EIO, // EPROGUNAVAIL
    EIO, // EPROGMISMATCH
    EIO, // EPROCUNAVAIL
    ENOLCK, // ENOLCK
    ENOSYS, // ENOSYS
    EINVAL, // EFTYPE
    EACCES, // EAUTH
    EACCES, // ENEEDAUTH
    EIO, // EPWROFF
    EIO, // EDEVERR
    EOVERFLOW, // EOVERFLOW
    ENOEXEC, // EBADEXEC
    ENOEXEC, // EBADARCH
    ELIBBAD, // ESHLIBVERS
    ENOEXEC, // EBADMACHO
    ECANCELED, // ECANCELED
    EIDRM, // EIDRM
    ENOMSG, // ENOMSG
    EILSEQ, // EILSEQ
    ENODATA, // ENOATTR
    EBADMSG, // EBADMSG
    EMULTIHOP, // EMULTIHOP
    ENODATA, // ENODATA
    ENOLINK, // ENOLINK
    ENOSR, // ENOSR
    ENOSTR, // ENOSTR
    EPROTO, // EPROTO
    ETIME, // ETIME
    EOPNOTSUPP, // EOPNOTSUPP
    EACCES, // ENOPOLICY
    ENOTRECOVERABLE, // ENOTRECOVERABLE
    EOWNERDEAD, // EOWNERDEAD
    ENOBUFS, // EQFULL
};

// Linux errnos that Darwin names differently or not at all; every other Linux errno is found by
// its meaning in the table above. ENODATA is what Linux reports for a missing extended attribute.
struct LinuxOnly {
    int linuxErrno;
    std::int32_t darwinErrno;
};
constexpr std::array linuxOnly {
    LinuxOnly { ENODATA, enoattr },
    LinuxOnly { EOPNOTSUPP, enotsup },
    LinuxOnly { EBADFD, ebadf },
    LinuxOnly { ENOMEDIUM, enxio },
    LinuxOnly { EREMOTEIO, eio },
    LinuxOnly { ENOKEY, eacces },
    LinuxOnly { EKEYEXPIRED, eacces },
    LinuxOnly { EKEYREVOKED, eacces },
    LinuxOnly { EKEYREJECTED, eacces },
    LinuxOnly { ECOMM, eio },
    LinuxOnly { ENOTUNIQ, einval },
    LinuxOnly { EUCLEAN, eio },
    LinuxOnly { ERESTART, eintr },
    LinuxOnly { ELIBBAD, eshlibvers },
    LinuxOnly { ENOPKG, enoent },
};

} // namespace

std::int32_t darwinErrnoFromLinux(int linuxErrno)
{
    for (const LinuxOnly& entry : linuxOnly)
        if (entry.linuxErrno == linuxErrno)
            return entry.darwinErrno;
    for (std::int32_t code = 1; code <= elast; ++code)
        if (linuxMeaning[static_cast<std::size_t>(code - 1)] == linuxErrno)
            return code;
    return eio;
}

std::int32_t currentErrno()
{
    return darwinErrnoFromLinux(errno);
}

int linuxErrnoFromDarwin(std::int32_t darwinErrno)
{
    return isDarwinErrno(darwinErrno) ? linuxMeaning[static_cast<std::size_t>(darwinErrno - 1)] : EIO;
}

} // namespace posix
