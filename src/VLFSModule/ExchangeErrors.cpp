#include "VLFSModule/ExchangeErrors.h"

#include "Platform/FSKit/FSError.h"
#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/POSIXErrorCode.h"

namespace vl {

std::exception_ptr exchangeErrorForFSKit(std::exception_ptr error)
{
    try {
        std::rethrow_exception(std::move(error));
    } catch (const foundation::POSIXError& posixError) {
        int code = posixError.errnoCode();
        return std::make_exception_ptr(
            fskit::fs_errorForPOSIXError(code == posix::enosys ? posix::enotsup : code));
    } catch (...) {
        return std::make_exception_ptr(fskit::fs_errorForPOSIXError(posix::enxio));
    }
}

} // namespace vl
