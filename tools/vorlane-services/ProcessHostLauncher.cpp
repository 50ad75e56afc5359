#include "vorlane-services/ProcessHostLauncher.h"

#include "vorlane-services/ServicesLog.h"
#include "Platform/Foundation/Process.h"
#include "Platform/Tasks/Cancellation.h"
#include "Platform/Tasks/Clock.h"
#include "VLFoundation/AsyncFuture.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>

namespace services {

namespace {

std::string howItEnded(const foundation::Process& process)
{
    if (process.terminationReason() == foundation::Process::TerminationReason::uncaughtSignal)
        return "was ended by signal " + std::to_string(process.terminationStatus());
    return "exited with status " + std::to_string(process.terminationStatus());
}

class ProcessHost final : public Host {
public:
    ProcessHost(pid_t pid, int processDescriptor, std::shared_ptr<vl::AsyncFuture<void>> ended,
                std::chrono::nanoseconds terminationGrace)
        : pid(pid), processDescriptor(processDescriptor), ended(std::move(ended)), terminationGrace(terminationGrace)
    {
    }

    ~ProcessHost() override
    {
        if (processDescriptor >= 0)
            ::close(processDescriptor);
    }

    tasks::Task<void> stop(std::chrono::nanoseconds patience) override
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

    std::string description() const override { return "process " + std::to_string(pid); }

private:
    // Only the deadline makes the wait fail (with CancellationError).
    tasks::Task<bool> endsWithin(std::chrono::nanoseconds duration)
    {
        tasks::SuspendingClock::Instant deadline = tasks::SuspendingClock::now() + duration;
        tasks::Result<void> outcome =
            co_await tasks::catching(ended->wait(deadline, std::nullopt, tasks::SuspendingClock{}));
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
};

} // namespace

ProcessHostLauncher::ProcessHostLauncher(foundation::URL command, std::chrono::nanoseconds terminationGrace)
    : command(std::move(command)), terminationGrace(terminationGrace)
{
}

std::shared_ptr<Host> ProcessHostLauncher::launch(const std::string& devicePath,
                                                  const std::optional<HostMount>& mount, ExitHandler onExit)
{
    vl::AsyncFuture<void>::Pair ended = vl::AsyncFuture<void>::makeFuture();
    auto process = std::make_shared<foundation::Process>();
    process->executableURL = command;
    process->arguments = {devicePath};
    if (mount && mount->volumeChecksAccess)
        process->arguments = {"--mount-point", mount->mountPoint, "--volume-checks-access", devicePath};
    else if (mount)
        process->arguments = {"--mount-point", mount->mountPoint, devicePath};
    process->terminationHandler = [onExit = std::move(onExit), promise = ended.promise](const foundation::Process& process) {
        onExit(howItEnded(process));
        promise.resolve();
    };
    process->launch();
    pid_t pid = process->processIdentifier();
    // Close-on-exec by default. Fails only when the child has ended and been reaped already;
    // then there is nothing left to signal.
    int processDescriptor = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    return std::make_shared<ProcessHost>(pid, processDescriptor, ended.future, terminationGrace);
}

} // namespace services
