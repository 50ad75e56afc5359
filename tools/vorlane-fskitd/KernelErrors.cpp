#include "vorlane-fskitd/KernelErrors.h"

#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/POSIXErrorCode.h"

#include <cerrno>

namespace host {

int linuxErrnoFor(const std::exception_ptr& error)
{
    if (!error)
        return EIO;
    try {
        std::rethrow_exception(error);
    } catch (const foundation::POSIXError& failure) {
        return posix::linuxErrnoFromDarwin(failure.errnoCode());
    } catch (...) {
        return EIO;
    }
}

} // namespace host
