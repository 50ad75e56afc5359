// Starts the FSKit host as a child process: the configured command with --stop-with-parent, the
// mount point (if any) and the device's path, with the services' environment, standard output
// and standard error.
//
// Stopping a host gives it the caller's patience to end on its own, then sends SIGTERM and gives
// it terminationGrace, then sends SIGKILL and waits for it. A mount the host left behind (it was
// killed) is then detached, so that its mount point answers again. Signals go through a process
// descriptor opened at launch, so they never reach another process that took the number over.
#pragma once

#include "Platform/Foundation/URL.h"
#include "vorlane-services/HostLauncher.h"

#include <chrono>

namespace services {

class ProcessHostLauncher final : public HostLauncher {
public:
    explicit ProcessHostLauncher(
        foundation::URL command, std::chrono::nanoseconds terminationGrace = std::chrono::seconds(5));

    // Throws foundation::LaunchError when the command cannot be started.
    std::shared_ptr<Host> launch(
        const std::string& devicePath, const std::optional<HostMount>& mount, ExitHandler onExit) override;

private:
    foundation::URL command;
    std::chrono::nanoseconds terminationGrace;
};

} // namespace services
