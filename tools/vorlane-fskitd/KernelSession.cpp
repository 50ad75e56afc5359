#include "vorlane-fskitd/KernelSession.h"

#include "Platform/Foundation/POSIXError.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>
#include <vector>

namespace host {
namespace {

// libfuse reports through one process-wide log function; its last message is the reason a mount
// failed, so it is kept instead of printed.
std::mutex libfuseMessageMutex;
std::string lastLibfuseMessage;

extern "C" void keepLibfuseMessage(enum fuse_log_level, const char* format, va_list arguments)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    std::string message = text;
    while (!message.empty() && message.back() == '\n')
        message.pop_back();
    if (message.starts_with("fuse: "))
        message.erase(0, 6);
    std::lock_guard guard(libfuseMessageMutex);
    lastLibfuseMessage = message;
}

std::string takeLibfuseMessage()
{
    std::lock_guard guard(libfuseMessageMutex);
    return std::exchange(lastLibfuseMessage, std::string());
}

std::string mountOptions(bool kernelChecksPermissions)
{
    std::string options = std::string(kernelChecksPermissions ? "default_permissions," : "")
        + "fsname=" + KernelSession::productName + ",subtype=" + KernelSession::productName;
    if (geteuid() == 0)
        options += ",allow_other";
    return options;
}

} // namespace

KernelSession::KernelSession(
    KernelOperations& operations, const std::string& mountPoint, bool kernelChecksPermissions)
{
    auto fail = [&](const std::string& reason) {
        return MountError("cannot mount at " + mountPoint + ": " + reason);
    };
    struct stat status { };
    if (::stat(mountPoint.c_str(), &status) != 0)
        throw fail(std::strerror(errno));
    if (!S_ISDIR(status.st_mode))
        throw fail(std::strerror(ENOTDIR));

    fuse_set_log_func(keepLibfuseMessage);
    std::string options = mountOptions(kernelChecksPermissions);
    std::vector<char*> arguments { const_cast<char*>(productName), const_cast<char*>("-o"), options.data() };
    fuse_args args = FUSE_ARGS_INIT(static_cast<int>(arguments.size()), arguments.data());
    session = fuse_session_new(
        &args, &KernelOperations::lowlevelOperations(), sizeof(fuse_lowlevel_ops), &operations);
    fuse_opt_free_args(&args);
    if (!session)
        throw fail(takeLibfuseMessage());
    if (fuse_session_mount(session, mountPoint.c_str()) != 0) {
        std::string reason = takeLibfuseMessage();
        fuse_session_destroy(session);
        throw fail(reason.empty() ? "the kernel refused the mount" : reason);
    }
    mounted = true;
    wakeUp = ::eventfd(0, EFD_CLOEXEC);
    if (wakeUp < 0) {
        int error = errno;
        unmount();
        fuse_session_destroy(session);
        throw fail(std::strerror(error));
    }
}

KernelSession::~KernelSession()
{
    unmount();
    fuse_session_destroy(session);
    ::close(wakeUp);
}

void KernelSession::serve()
{
    fuse_buf buffer {};
    std::exception_ptr failure;
    while (!fuse_session_exited(session)) {
        pollfd waitFor[2] = { { fuse_session_fd(session), POLLIN, 0 }, { wakeUp, POLLIN, 0 } };
        if (::poll(waitFor, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            failure = std::make_exception_ptr(foundation::POSIXError::fromErrno("poll"));
            break;
        }
        if (waitFor[1].revents != 0)
            break;
        // 0: the kernel has ended the session (unmounted).
        int received = fuse_session_receive_buf(session, &buffer);
        if (received == -EINTR || received == -EAGAIN)
            continue;
        if (received < 0)
            failure = std::make_exception_ptr(foundation::POSIXError(-received, "reading from the kernel"));
        if (received <= 0)
            break;
        fuse_session_process_buf(session, &buffer);
    }
    std::free(buffer.mem);
    if (failure)
        std::rethrow_exception(failure);
}

void KernelSession::stop()
{
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(wakeUp, &one, sizeof one);
}

void KernelSession::unmount()
{
    if (!mounted)
        return;
    mounted = false;
    fuse_session_unmount(session);
}

} // namespace host
