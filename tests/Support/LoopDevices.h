// Whether this machine lets a test attach loop block devices through the project's disk-image
// tool: answers why not (for the test's skip message), or nothing when it can.
#pragma once

#include <unistd.h>

#include <optional>
#include <string>

namespace testing_support {

inline std::optional<std::string> loopDevicesUnavailable()
{
    if (::geteuid() != 0)
        return "attaching loop devices needs root";
    if (::access("/dev/loop-control", R_OK | W_OK) != 0)
        return "there is no usable /dev/loop-control";
    if (::access("/usr/sbin/losetup", X_OK) != 0 && ::access("/sbin/losetup", X_OK) != 0)
        return "losetup is not installed";
    return std::nullopt;
}

} // namespace testing_support
