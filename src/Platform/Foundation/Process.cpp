#include "Platform/Foundation/Process.h"

#include "Platform/OS/FatalError.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace foundation {

LaunchError::LaunchError(int code, const std::string& executablePath)
    : POSIXError(code, "launch " + executablePath)
{
}

namespace {

// Owns posix_spawn's file actions for the length of one launch.
class SpawnFileActions {
public:
    SpawnFileActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnFileActions() { posix_spawn_file_actions_destroy(&actions); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;

    posix_spawn_file_actions_t actions;
};

int standardOutputDescriptor(const Process::StandardOutput& output)
{
    if (auto* handle = std::get_if<std::shared_ptr<FileHandle>>(&output))
        return *handle ? (*handle)->fileDescriptor() : -1;
    if (auto* pipe = std::get_if<std::shared_ptr<Pipe>>(&output))
        return *pipe ? (*pipe)->fileHandleForWriting()->fileDescriptor() : -1;
    return STDOUT_FILENO;
}

} // namespace

void Process::launch()
{
    {
        std::lock_guard lock(mutex);
        if (state != State::configured)
            vl::fatalError("Process has been launched already", "Foundation/Process");
    }
    std::optional<std::string> path = executableURL.path();
    if (!path || path->empty())
        throw LaunchError(ENOENT, executableURL.encodedPath());

    std::vector<char*> argv;
    argv.push_back(path->data());
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    int output = standardOutputDescriptor(standardOutput);
    if (output < 0)
        throw LaunchError(EBADF, *path);
    SpawnFileActions fileActions;
    if (output != STDOUT_FILENO)
        posix_spawn_file_actions_adddup2(&fileActions.actions, output, STDOUT_FILENO);
    // The child sees standard input, output and error only, whatever the parent has open.
    posix_spawn_file_actions_addclosefrom_np(&fileActions.actions, STDERR_FILENO + 1);

    pid_t spawned = -1;
    int error = posix_spawn(&spawned, path->c_str(), &fileActions.actions, nullptr, argv.data(), environ);
    if (error != 0)
        throw LaunchError(error, *path);

    if (auto* pipe = std::get_if<std::shared_ptr<Pipe>>(&standardOutput)) {
        try {
            (*pipe)->fileHandleForWriting()->close();
        } catch (const POSIXError&) {
            // The child has its own copy; a failed close of ours changes nothing for it.
        }
    }
    // The child has its own copy; letting go here means a process object that outlives its
    // caller on the waiting thread holds no descriptor of the parent's.
    standardOutput = std::monostate {};
    {
        std::lock_guard lock(mutex);
        state = State::running;
        child = spawned;
    }
    std::thread([self = shared_from_this(), spawned] { self->reap(spawned); }).detach();
}

void Process::reap(pid_t spawned)
{
    int waitStatus = 0;
    while (::waitpid(spawned, &waitStatus, 0) < 0) {
        if (errno != EINTR)
            vl::fatalError("Cannot wait for a child process", "Foundation/Process");
    }
    std::function<void(const Process&)> handler;
    {
        std::lock_guard lock(mutex);
        if (WIFSIGNALED(waitStatus)) {
            reason = TerminationReason::uncaughtSignal;
            status = WTERMSIG(waitStatus);
        } else {
            reason = TerminationReason::exit;
            status = WEXITSTATUS(waitStatus);
        }
        state = State::terminated;
        handler = std::move(terminationHandler);
        terminationHandler = nullptr;
    }
    terminated.notify_all();
    if (handler)
        handler(*this);
}

bool Process::isRunning() const
{
    std::lock_guard lock(mutex);
    return state == State::running;
}

void Process::waitUntilExit() const
{
    std::unique_lock lock(mutex);
    if (state == State::configured)
        vl::fatalError("Process has not been launched", "Foundation/Process");
    terminated.wait(lock, [this] { return state == State::terminated; });
}

pid_t Process::processIdentifier() const
{
    std::lock_guard lock(mutex);
    return child;
}

int Process::terminationStatus() const
{
    std::lock_guard lock(mutex);
    if (state != State::terminated)
        vl::fatalError("Process has not terminated", "Foundation/Process");
    return status;
}

Process::TerminationReason Process::terminationReason() const
{
    std::lock_guard lock(mutex);
    if (state != State::terminated)
        vl::fatalError("Process has not terminated", "Foundation/Process");
    return reason;
}

} // namespace foundation
