// Small helpers shared by the file-system backends: failing with a Darwin errno, the current
// time, and the DT_* directory-entry type of a mode (the same values on Darwin and Linux).
#pragma once

#include "Platform/Foundation/POSIXError.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <sys/stat.h>

namespace fused {

[[noreturn]] inline void fail(int darwinErrno, const std::string& what)
{
    throw foundation::POSIXError(darwinErrno, what);
}

inline timespec now()
{
    timespec time {};
    clock_gettime(CLOCK_REALTIME, &time);
    return time;
}

inline void setTime(std::int64_t& seconds, std::int32_t& nanoseconds, timespec time)
{
    seconds = time.tv_sec;
    nanoseconds = static_cast<std::int32_t>(time.tv_nsec);
}

inline std::uint32_t directoryEntryType(std::uint32_t mode)
{
    return (mode & S_IFMT) >> 12;
}

} // namespace fused
