// A host launcher for tests that starts no process: each launch makes a FakeHost that the test
// takes with nextLaunch() and drives by hand (it may end "on its own"); stop() hands the
// patience it was given to nextStop() and ends it, at once or, after holdStops(), once the test
// calls openStops(). launchFailure makes every launch throw.
#pragma once

#include "Platform/Foundation/Process.h"
#include "Support/Mailbox.h"
#include "VLFoundation/AsyncFuture.h"
#include "vorlane-services/HostLauncher.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace testing_support {

class FakeHost final : public services::Host {
public:
    FakeHost(std::string devicePath, std::optional<services::HostMount> mount,
        services::HostLauncher::ExitHandler onExit)
        : devicePath(std::move(devicePath))
        , mount(std::move(mount))
        , onExit(std::move(onExit))
    {
    }

    tasks::Task<void> stop(std::chrono::nanoseconds patience) override
    {
        stops.push(patience);
        std::shared_ptr<vl::AsyncFuture<void>> held;
        {
            std::lock_guard lock(mutex);
            if (gate)
                held = gate->future;
        }
        if (held)
            co_await held->wait();
        end("was stopped");
    }

    std::string description() const override { return "fake host on " + devicePath; }

    void exitOnItsOwn(int status) { end("exited with status " + std::to_string(status)); }

    // Makes a later stop() wait, once it has been counted, until openStops().
    void holdStops()
    {
        std::lock_guard lock(mutex);
        gate.emplace(vl::AsyncFuture<void>::makeFuture());
    }
    void openStops()
    {
        std::lock_guard lock(mutex);
        gate->promise.resolve();
    }

    // Waits until stop() is called; answers the patience it was given.
    std::chrono::nanoseconds nextStop() { return stops.next(); }

    const std::string devicePath;
    const std::optional<services::HostMount> mount;

private:
    void end(const std::string& how)
    {
        services::HostLauncher::ExitHandler handler;
        {
            std::lock_guard lock(mutex);
            handler = std::move(onExit);
            onExit = nullptr;
        }
        if (handler)
            handler(how);
    }

    std::mutex mutex;
    services::HostLauncher::ExitHandler onExit;
    Mailbox<std::chrono::nanoseconds> stops;
    std::optional<vl::AsyncFuture<void>::Pair> gate;
};

class FakeHostLauncher final : public services::HostLauncher {
public:
    std::shared_ptr<services::Host> launch(const std::string& devicePath,
        const std::optional<services::HostMount>& mount, ExitHandler onExit) override
    {
        if (launchFailure)
            throw foundation::LaunchError(ENOENT, "fake host");
        auto host = std::make_shared<FakeHost>(devicePath, mount, std::move(onExit));
        launches.push(host);
        return host;
    }

    std::shared_ptr<FakeHost> nextLaunch() { return launches.next(); }

    std::atomic<bool> launchFailure = false;

private:
    Mailbox<std::shared_ptr<FakeHost>> launches;
};

} // namespace testing_support
