#include "vorlane-services/ProcessHostLauncher.h"

#include "Platform/Foundation/Process.h"
#include "Platform/Tasks/Cancellation.h"
#include "Platform/Tasks/Clock.h"
#include "VLFoundation/AsyncFuture.h"
#include "vorlane-services/ServicesLog.h"

#include <sys/mount.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>

namespace services {

namespace {

// The mount point as /proc/self/mounts writes it: space, tab, newline and backslash in octal.
std::string escapedMountPoint(const std::string& path)
{
    std::string escaped;
    for (char character : path) {
        if (character == ' ' || character == '\t' || character == '\n' || character == '\\') {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", static_cast<unsigned char>(character));
            escaped += octal;
        } else {
            escaped += character;
        }
    }
    return escaped;
}

// Detaches the host's FUSE mount at `mountPoint` when it is still there; answers whether it was.
bool detachLeftMount(const std::string& mountPoint)
{
    std::ifstream mounts("/proc/self/mounts");
    std::string device, point, type, rest;
    std::string wanted = escapedMountPoint(mountPoint);
    bool found = false;
    while (mounts >> device >> point >> type && std::getline(mounts, rest))
        found = found || (point == wanted && type == "fuse.vorlane");
    return found && ::umount2(mountPoint.c_str(), MNT_DETACH) == 0;
}

std::string howItEnded(const foundation::Process& process)
{
    if (process.terminationReason() == foundation::Process::TerminationReason::uncaughtSignal)
        return "was ended by signal " + std::to_string(process.terminationStatus());
    return "exited with status " + std::to_string(process.terminationStatus());
}

class ProcessHost final : public Host {
public:
    ProcessHost(pid_t pid, int processDescriptor, std::shared_ptr<vl::AsyncFuture<void>> ended,
        std::chrono::nanoseconds terminationGrace, std::optional<std::string> mountPoint)
        : pid(pid)
        , processDescriptor(processDescriptor)
        , ended(std::move(ended))
        , terminationGrace(terminationGrace)
        , mountPoint(std::move(mountPoint))
    {
    }

    ~ProcessHost() override
    {
        if (processDescriptor >= 0)
            ::close(processDescriptor);
    }

    tasks::Task<void> stop(std::chrono::nanoseconds patience) override
    {
        co_await end(patience);
        if (mountPoint && detachLeftMount(*mountPoint))
            servicesLog().info("Detached the mount at %s that host %s left", *mountPoint, description());
    }

    std::string description() const override { return "process " + std::to_string(pid); }

private:
    tasks::Task<void> end(std::chrono::nanoseconds patience)
    {
        bool endedAlone = co_await endsWithin(patience);
        if (endedAlone)
            co_return;
        servicesLog().info("Host %s is still running: sending it SIGTERM", description());
        send(SIGTERM);
        bool endedOnSIGTERM = co_await endsWithin(terminationGrace);
        if (endedOnSIGTERM)
            co_return;
        servicesLog().error("Host %s did not end on SIGTERM: sending it SIGKILL", description());
        send(SIGKILL);
        co_await ended->wait();
    }

    // Only the deadline makes the wait fail (with CancellationError).
    tasks::Task<bool> endsWithin(std::chrono::nanoseconds duration)
    {
        tasks::SuspendingClock::Instant deadline = tasks::SuspendingClock::now() + duration;
        tasks::Result<void> outcome
            = co_await tasks::catching(ended->wait(deadline, std::nullopt, tasks::SuspendingClock {}));
        co_return outcome.isSuccess();
    }

    // A process that has ended and been reaped has no descriptor, or one that refuses: ESRCH.
    void send(int signal) const
    {
        if (processDescriptor >= 0)
            ::syscall(SYS_pidfd_send_signal, processDescriptor, signal, nullptr, 0);
    }

    const pid_t pid;
    const int processDescriptor;
    const std::shared_ptr<vl::AsyncFuture<void>> ended;
    const std::chrono::nanoseconds terminationGrace;
    const std::optional<std::string> mountPoint;
};

} // namespace

ProcessHostLauncher::ProcessHostLauncher(foundation::URL command, std::chrono::nanoseconds terminationGrace)
    : command(std::move(command))
    , terminationGrace(terminationGrace)
{
}

std::shared_ptr<Host> ProcessHostLauncher::launch(
    const std::string& devicePath, const std::optional<HostMount>& mount, ExitHandler onExit)
{
    vl::AsyncFuture<void>::Pair ended = vl::AsyncFuture<void>::makeFuture();
    auto process = std::make_shared<foundation::Process>();
    process->executableURL = command;
    // The host ends when we do, however we end: nothing else would take its volume down.
    process->arguments = { "--stop-with-parent" };
    if (mount) {
        process->arguments.insert(process->arguments.end(), { "--mount-point", mount->mountPoint });
        if (mount->volumeChecksAccess)
            process->arguments.push_back("--volume-checks-access");
    }
    process->arguments.push_back(devicePath);
    process->terminationHandler
        = [onExit = std::move(onExit), promise = ended.promise](const foundation::Process& process) {
              onExit(howItEnded(process));
              promise.resolve();
          };
    process->launch();
    pid_t pid = process->processIdentifier();
    // Close-on-exec by default. Fails only when the child has ended and been reaped already;
    // then there is nothing left to signal.
    int processDescriptor = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    return std::make_shared<ProcessHost>(pid, processDescriptor, ended.future, terminationGrace,
        mount ? std::optional(mount->mountPoint) : std::nullopt);
}

} // namespace services
