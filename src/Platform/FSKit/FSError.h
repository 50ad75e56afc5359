// The error object that FSKit reports to the kernel: a POSIX errno.
//
// fs_errorForPOSIXError makes one from a Darwin errno; throw it as it is. FSError is a
// foundation::POSIXError, so code that handles POSIX-domain errors handles it too. At the boundary, reply
// handlers receive any error as a std::exception_ptr (null on success).
#pragma once

#include "Platform/Foundation/POSIXError.h"

namespace fskit {

class FSError : public foundation::POSIXError {
public:
    explicit FSError(int posixErrorCode);
};

// FSKit's own constructor for errors made by a file system from a POSIX error code.
FSError fs_errorForPOSIXError(int posixErrorCode);

} // namespace fskit
