// The Linux calls the passthrough backend makes, failing with the Darwin errno of the same
// meaning (posix::darwinErrnoFromLinux), and the conversions of what they answer.
#pragma once

#include "VLChannel/FuseKernel.h"

#include <cstdint>
#include <string>
#include <sys/stat.h>

namespace fused::linuxcalls {

// The calling thread's errno, as the Darwin errno of the same meaning.
[[noreturn]] void failFromLinux(const std::string& what);

inline void check(long result, const char* what)
{
    if (result < 0)
        failFromLinux(what);
}

// The status of what `descriptor` names, never following a symbolic link.
struct statx status(int descriptor);

// The path through which Linux reaches the file an O_PATH descriptor names, for the calls that
// take no descriptor of that kind. Linux resolves it to that file itself, a symbolic link too.
std::string procPath(int descriptor);

vl::fuse_attr attributesOf(const struct statx& status, std::uint64_t node);

// Linux's dev_t of a Darwin one (major number in the top 8 bits, minor in the low 24).
dev_t linuxDevice(std::uint32_t darwinDevice);

} // namespace fused::linuxcalls
