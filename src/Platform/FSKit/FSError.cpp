#include "Platform/FSKit/FSError.h"

namespace fskit {

FSError::FSError(int posixErrorCode)
    : foundation::POSIXError(posixErrorCode, "FSKit")
{
}

FSError fs_errorForPOSIXError(int posixErrorCode)
{
    return FSError(posixErrorCode);
}

} // namespace fskit
