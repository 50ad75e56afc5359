// An error of the POSIX domain: the errno of a failed system call, with a short text naming
// what failed. Thrown wherever a descriptor, socket or process operation fails.
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

} // namespace foundation
