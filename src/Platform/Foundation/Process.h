// A child process run from an executable file: the stand-in for Foundation's task class.
//
// Configure the public fields, then launch() once. The child gets the executable path as its
// first argument, the parent's environment, and as standard output a file handle, a pipe's
// writing end or the parent's own; every other descriptor above standard error is closed in the
// child; launching lets go of the standard output, so the process object holds no descriptor
// afterwards. A thread of its own waits for the child to end, reaps it, records the status and then
// calls the termination handler on that thread. Must be owned by a std::shared_ptr: the waiting
// thread keeps the process object alive until the handler has run.
#pragma once

#include "Platform/Foundation/FileHandle.h"
#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/Pipe.h"
#include "Platform/Foundation/URL.h"

#include <sys/types.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <variant>
#include <vector>

namespace foundation {

// Why a process could not be started; carries the errno of the failed launch.
class LaunchError : public POSIXError {
public:
    LaunchError(int code, const std::string& executablePath);
};

class Process : public std::enable_shared_from_this<Process> {
public:
    using StandardOutput = std::variant<std::monostate, std::shared_ptr<FileHandle>, std::shared_ptr<Pipe>>;
    enum class TerminationReason { exit, uncaughtSignal };

    // Set before launch, not changed afterwards.
    URL executableURL = URL::fileURLWithPath("");
    std::vector<std::string> arguments;
    StandardOutput standardOutput;
    std::function<void(const Process&)> terminationHandler;

    Process() = default;
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Starts the child; throws LaunchError when it cannot be started, and then the termination
    // handler is never called. Launching twice is a fatal error.
    void launch();

    bool isRunning() const;
    void waitUntilExit() const;
    pid_t processIdentifier() const;
    // The exit status, or the number of the signal that ended the child; fatal while running.
    int terminationStatus() const;
    TerminationReason terminationReason() const;

private:
    void reap(pid_t child);

    enum class State { configured, running, terminated };

    mutable std::mutex mutex;
    mutable std::condition_variable terminated;
    State state = State::configured;
    pid_t child = -1;
    int status = 0;
    TerminationReason reason = TerminationReason::exit;
};

} // namespace foundation
