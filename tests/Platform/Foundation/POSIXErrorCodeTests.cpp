#include "Platform/Foundation/POSIXErrorCode.h"

#include "Platform/Foundation/POSIXError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// Darwin's errno names in the order of their values, 1 through 106.
std::vector<std::string> darwinNames()
{
    std::istringstream text(
        R"(EPERM ENOENT ESRCH EINTR EIO ENXIO E2BIG ENOEXEC EBADF ECHILD EDEADLK ENOMEM EACCES EFAULT ENOTBLK
EBUSY EEXIST EXDEV ENODEV ENOTDIR EISDIR EINVAL ENFILE EMFILE ENOTTY ETXTBSY EFBIG ENOSPC ESPIPE
EROFS EMLINK EPIPE EDOM ERANGE EAGAIN EINPROGRESS EALREADY ENOTSOCK EDESTADDRREQ EMSGSIZE EPROTOTYPE
ENOPROTOOPT EPROTONOSUPPORT ESOCKTNOSUPPORT ENOTSUP EPFNOSUPPORT EAFNOSUPPORT EADDRINUSE
EADDRNOTAVAIL ENETDOWN ENETUNREACH ENETRESET ECONNABORTED ECONNRESET ENOBUFS EISCONN ENOTCONN
ESHUTDOWN ETOOMANYREFS ETIMEDOUT ECONNREFUSED ELOOP ENAMETOOLONG EHOSTDOWN EHOSTUNREACH ENOTEMPTY
EPROCLIM EUSERS EDQUOT ESTALE EREMOTE EBADRPC ERPCMISMATCH EPROGUNAVAIL EPROGMISMATCH EPROCUNAVAIL
ENOLCK ENOSYS EFTYPE EAUTH ENEEDAUTH EPWROFF EDEVERR EOVERFLOW EBADEXEC EBADARCH ESHLIBVERS
EBADMACHO ECANCELED EIDRM ENOMSG EILSEQ ENOATTR EBADMSG EMULTIHOP ENODATA ENOLINK ENOSR ENOSTR
EPROTO ETIME EOPNOTSUPP ENOPOLICY ENOTRECOVERABLE EOWNERDEAD EQFULL)");
    std::vector<std::string> names;
    for (std::string name; text >> name;)
        names.push_back(name);
    return names;
}

// Every Darwin errno means on Linux the errno of the same name, or for the few Linux lacks, the
// nearest meaning; and a Linux errno comes back as the Darwin errno of that meaning.
TEST(POSIXErrorCode, EveryDarwinErrnoTranslatesToTheLinuxErrnoOfItsMeaningAndBack)
{
    const std::vector<std::string> names = darwinNames();
    ASSERT_EQ(names.size(), static_cast<std::size_t>(posix::elast));
    const std::map<std::string, std::string> nearest { { "ENOTSUP", "EOPNOTSUPP" }, { "ENOATTR", "ENODATA" },
        { "EPROCLIM", "EAGAIN" }, { "EFTYPE", "EINVAL" }, { "EAUTH", "EACCES" }, { "ENEEDAUTH", "EACCES" },
        { "ENOPOLICY", "EACCES" }, { "EBADEXEC", "ENOEXEC" }, { "EBADARCH", "ENOEXEC" },
        { "EBADMACHO", "ENOEXEC" }, { "ESHLIBVERS", "ELIBBAD" }, { "EQFULL", "ENOBUFS" },
        { "EBADRPC", "EIO" }, { "ERPCMISMATCH", "EIO" }, { "EPROGUNAVAIL", "EIO" },
        { "EPROGMISMATCH", "EIO" }, { "EPROCUNAVAIL", "EIO" }, { "EPWROFF", "EIO" }, { "EDEVERR", "EIO" } };
    for (std::int32_t code = 1; code <= posix::elast; ++code) {
        const std::string& name = names[static_cast<std::size_t>(code - 1)];
        int linuxErrno = posix::linuxErrnoFromDarwin(code);
        const char* linuxName = strerrorname_np(linuxErrno);
        ASSERT_NE(linuxName, nullptr) << name;
        auto alias = nearest.find(name);
        EXPECT_EQ(linuxName, alias == nearest.end() ? name : alias->second) << name;
        if (alias == nearest.end() && name != "ENODATA" && name != "EOPNOTSUPP")
            EXPECT_EQ(posix::darwinErrnoFromLinux(linuxErrno), code) << name;
        else
            EXPECT_EQ(posix::linuxErrnoFromDarwin(posix::darwinErrnoFromLinux(linuxErrno)), linuxErrno)
                << name;
    }
}

TEST(POSIXErrorCode, ValuesOutsideEitherListBecomeEIO)
{
    for (std::int32_t code : { 0, -1, posix::elast + 1, 4000 })
        EXPECT_EQ(posix::linuxErrnoFromDarwin(code), EIO) << code;
    for (int linuxErrno : { 0, -1, ECHRNG, EHWPOISON, 4000 })
        EXPECT_EQ(posix::darwinErrnoFromLinux(linuxErrno), posix::eio) << linuxErrno;
    // Linux's names for a missing extended attribute and an unsupported operation.
    EXPECT_EQ(posix::darwinErrnoFromLinux(ENODATA), posix::enoattr);
    EXPECT_EQ(posix::darwinErrnoFromLinux(EOPNOTSUPP), posix::enotsup);
}

TEST(POSIXErrorCode, ErrorsFromTheCurrentErrnoCarryDarwinValuesAndLinuxTexts)
{
    errno = ENOSYS;
    foundation::POSIXError error = foundation::POSIXError::fromErrno("call");
    EXPECT_EQ(error.errnoCode(), posix::enosys);
    EXPECT_NE(std::string(error.what()).find(std::strerror(ENOSYS)), std::string::npos) << error.what();
}

} // namespace
