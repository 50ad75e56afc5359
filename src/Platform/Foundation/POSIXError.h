// An error of the POSIX domain: a Darwin errno (POSIXErrorCode.h), with a short text naming what
// failed. Thrown wherever a descriptor, socket or process operation fails; fromErrno() takes the
// calling thread's errno, translated to Darwin's value. The error's text is the platform's own
// description of the errno's meaning.
#pragma once

#include <string>
#include <system_error>

namespace foundation {

class POSIXError : public std::system_error {
public:
    // `what` names the failed operation, for example "socketpair" or "read".
    POSIXError(int code, const std::string& what);

    int errnoCode() const { return code().value(); }

    // The error for the current errno.
    static POSIXError fromErrno(const std::string& what);
};

// The category of POSIXError: its values are Darwin errnos.
const std::error_category& posixCategory();

} // namespace foundation
