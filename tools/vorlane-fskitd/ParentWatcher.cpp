#include "vorlane-fskitd/ParentWatcher.h"

#include "Platform/Foundation/POSIXError.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace host {

ParentWatcher::ParentWatcher(std::function<void()> onEnded)
{
    pid_t parent = ::getppid();
    parentDescriptor = static_cast<int>(::syscall(SYS_pidfd_open, parent, 0));
    if (parentDescriptor < 0)
        throw foundation::POSIXError::fromErrno("pidfd_open of the parent");
    wakeUp = ::eventfd(0, EFD_CLOEXEC);
    if (wakeUp < 0) {
        ::close(parentDescriptor);
        throw foundation::POSIXError::fromErrno("eventfd");
    }
    // Re-parented before the descriptor was made: the descriptor is of the new parent.
    bool endedAlready = ::getppid() != parent;
    thread = std::thread([this, endedAlready, onEnded = std::move(onEnded)] {
        pollfd waitFor[2] = { { parentDescriptor, POLLIN, 0 }, { wakeUp, POLLIN, 0 } };
        while (!endedAlready && ::poll(waitFor, 2, -1) < 0 && errno == EINTR) { }
        if (endedAlready || waitFor[0].revents != 0)
            onEnded();
    });
}

ParentWatcher::~ParentWatcher()
{
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(wakeUp, &one, sizeof one);
    thread.join();
    ::close(wakeUp);
    ::close(parentDescriptor);
}

} // namespace host
