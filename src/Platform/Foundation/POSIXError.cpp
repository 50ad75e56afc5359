#include "Platform/Foundation/POSIXError.h"

#include "Platform/Foundation/POSIXErrorCode.h"

#include <cstring>

namespace foundation {

namespace {

class POSIXCategory final : public std::error_category {
public:
    const char* name() const noexcept override { return "POSIX"; }
    std::string message(int code) const override { return std::strerror(posix::linuxErrnoFromDarwin(code)); }
};

} // namespace

const std::error_category& posixCategory()
{
    // Never destroyed: errors may be described by tasks still running while the process exits.
    static const POSIXCategory* const category = new POSIXCategory;
    return *category;
}

POSIXError::POSIXError(int code, const std::string& what)
    : std::system_error(code, posixCategory(), what)
{
}

POSIXError POSIXError::fromErrno(const std::string& what)
{
    return POSIXError(posix::currentErrno(), what);
}

} // namespace foundation
