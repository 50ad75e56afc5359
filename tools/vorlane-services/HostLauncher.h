// The FSKit host that loads a volume from its block device: started by the launch services for
// each volume they make, and ended when the volume is released.
//
// launch() starts a host on a device, mounting its volume as `mount` says when there is one, and
// calls onExit once, from any thread, when that host has
// ended, whether on its own or because it was stopped; `how` says how it ended ("exited with
// status 0"). A Host is stopped at most once; stop() returns once the host has ended.
#pragma once

#include "Platform/Tasks/Task.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace services {

// Where a host mounts its volume, and whether the volume rather than the kernel checks access.
struct HostMount {
    std::string mountPoint;
    bool volumeChecksAccess = false;
};

class Host {
public:
    virtual ~Host() = default;

    // Ends the host: gives it `patience` to end on its own first, then makes it end.
    virtual tasks::Task<void> stop(std::chrono::nanoseconds patience) = 0;
    // Names the host in the log, for example "process 1234".
    virtual std::string description() const = 0;
};

class HostLauncher {
public:
    using ExitHandler = std::function<void(const std::string& how)>;

    virtual ~HostLauncher() = default;

    // Starts a host on the device at `devicePath`; throws when it cannot be started, and then
    // onExit is never called.
    virtual std::shared_ptr<Host> launch(
        const std::string& devicePath, const std::optional<HostMount>& mount, ExitHandler onExit)
        = 0;
};

} // namespace services
