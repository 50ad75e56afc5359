#include "Platform/XPC/XPCRichError.h"

namespace xpc {

XPCRichError::XPCRichError(Code code, const std::string& description)
    : std::runtime_error(description)
    , errorCode(code)
{
}

} // namespace xpc
