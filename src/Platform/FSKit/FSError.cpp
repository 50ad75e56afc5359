#include "Platform/FSKit/FSError.h"

namespace fskit {

FSError::FSError(int posixErrorCode)
    : std::system_error(posixErrorCode, std::generic_category())
{
}

FSError fs_errorForPOSIXError(int posixErrorCode)
{
    return FSError(posixErrorCode);
}

} // namespace fskit
