#include "Platform/Dispatch/DispatchSourceRead.h"

#include "Platform/OS/FatalError.h"

#include <cerrno>
#include <cstdint>
#include <mutex>
#include <thread>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace dispatch {
namespace {

constexpr std::string_view location = "Platform/Dispatch/DispatchSourceRead";

} // namespace

// Shared by the source and its watcher thread, which runs from activation until the cancel
// handler has returned. `wakeDescriptor` (an eventfd) interrupts the watcher's poll whenever the
// flags change.
struct DispatchSourceRead::State {
    State(int fileDescriptor, DispatchQueue queue)
        : fileDescriptor(fileDescriptor)
        , queue(std::move(queue))
    {
    }
    ~State()
    {
        if (wakeDescriptor >= 0)
            ::close(wakeDescriptor);
    }

    void wakeWatcher() const
    {
        if (wakeDescriptor < 0)
            return;
        std::uint64_t one = 1;
        while (::write(wakeDescriptor, &one, sizeof one) < 0 && errno == EINTR) { }
    }

    void clearWake() const
    {
        std::uint64_t count;
        while (::read(wakeDescriptor, &count, sizeof count) < 0 && errno == EINTR) { }
    }

    bool isCancelled() const
    {
        std::lock_guard guard(mutex);
        return cancelled;
    }

    // The event handler to run now, or none when the source is suspended or cancelled.
    std::shared_ptr<const std::function<void()>> currentEventHandler()
    {
        std::lock_guard guard(mutex);
        if (cancelled || suspendCount > 0)
            return nullptr;
        return eventHandler;
    }

    static void watch(const std::shared_ptr<State>& state)
    {
        for (;;) {
            bool watching;
            {
                std::lock_guard guard(state->mutex);
                if (state->cancelled && state->suspendCount == 0)
                    break;
                watching = !state->cancelled && state->suspendCount == 0;
            }
            pollfd descriptors[2] = { { state->wakeDescriptor, POLLIN, 0 },
                { watching ? state->fileDescriptor : -1, POLLIN, 0 } };
            if (::poll(descriptors, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                vl::fatalError("poll failed", location);
            }
            if (descriptors[0].revents != 0)
                state->clearWake();
            // Once cancelled, the descriptor may be closed under a poll that is just ending.
            if ((descriptors[1].revents & POLLNVAL) && !state->isCancelled())
                vl::fatalError("Descriptor closed while a read source watches it", location);
            if (descriptors[1].revents == 0)
                continue;
            if (std::shared_ptr<const std::function<void()>> handler = state->currentEventHandler())
                state->queue.sync(*handler);
        }
        state->runCancelHandler();
    }

    std::function<void()> takeCancelHandler()
    {
        std::lock_guard guard(mutex);
        return std::move(cancelHandler);
    }

    void runCancelHandler()
    {
        if (std::function<void()> handler = takeCancelHandler())
            queue.sync(handler);
    }

    const int fileDescriptor;
    const DispatchQueue queue;
    int wakeDescriptor = -1;
    mutable std::mutex mutex;
    std::shared_ptr<const std::function<void()>> eventHandler;
    std::function<void()> cancelHandler;
    bool activated = false;
    bool cancelled = false;
    int suspendCount = 0;
};

DispatchSourceRead::DispatchSourceRead(int fileDescriptor, DispatchQueue queue)
    : state(std::make_shared<State>(fileDescriptor, std::move(queue)))
{
}

DispatchSourceRead::~DispatchSourceRead()
{
    cancel();
}

void DispatchSourceRead::setEventHandler(std::function<void()> handler)
{
    auto shared = std::make_shared<const std::function<void()>>(std::move(handler));
    std::lock_guard guard(state->mutex);
    state->eventHandler = std::move(shared);
}

void DispatchSourceRead::setCancelHandler(std::function<void()> handler)
{
    std::lock_guard guard(state->mutex);
    state->cancelHandler = std::move(handler);
}

void DispatchSourceRead::activate()
{
    {
        std::lock_guard guard(state->mutex);
        if (state->activated)
            vl::fatalError("Read source activated twice", location);
        if (!state->eventHandler || !*state->eventHandler)
            vl::fatalError("Read source activated without an event handler", location);
        state->activated = true;
        state->wakeDescriptor = ::eventfd(0, EFD_CLOEXEC);
        if (state->wakeDescriptor < 0)
            vl::fatalError("eventfd failed", location);
    }
    std::thread(&State::watch, state).detach();
}

void DispatchSourceRead::suspend()
{
    std::lock_guard guard(state->mutex);
    ++state->suspendCount;
    state->wakeWatcher();
}

void DispatchSourceRead::resume()
{
    std::lock_guard guard(state->mutex);
    if (state->suspendCount == 0)
        vl::fatalError("Read source resumed more often than suspended", location);
    --state->suspendCount;
    state->wakeWatcher();
}

void DispatchSourceRead::cancel()
{
    bool neverActivated;
    {
        std::lock_guard guard(state->mutex);
        if (state->cancelled)
            return;
        state->cancelled = true;
        neverActivated = !state->activated;
        state->wakeWatcher();
    }
    // Without a watcher thread nothing can be in progress: the cancel handler may run at once.
    if (neverActivated) {
        if (std::function<void()> handler = state->takeCancelHandler())
            state->queue.async(std::move(handler));
    }
}

bool DispatchSourceRead::isCancelled() const
{
    return state->isCancelled();
}

} // namespace dispatch
