#include "Platform/Foundation/POSIXError.h"

#include <cerrno>

namespace foundation {

POSIXError::POSIXError(int code, const std::string& what)
    : std::system_error(code, std::generic_category(), what)
{
}

POSIXError POSIXError::fromErrno(const std::string& what)
{
    return POSIXError(errno, what);
}

} // namespace foundation
