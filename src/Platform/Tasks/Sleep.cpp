#include "Platform/Tasks/Cancellation.h"
#include "Platform/Tasks/Clock.h"
#include "Platform/Tasks/Continuation.h"
#include "Platform/Tasks/Deadline.h"
#include "Platform/Tasks/TimerService.h"

#include <memory>
#include <mutex>

namespace tasks {
namespace {

// Whoever ends the sleep first, the timer or a cancellation, resumes the sleeper; the other
// finds the sleep over and does nothing.
struct Sleeper {
    std::mutex mutex;
    std::optional<Continuation<void>> continuation;
    std::optional<TimerService::Identifier> timer;
    bool over = false;
    bool cancelled = false;

    void end(bool byCancellation)
    {
        std::optional<Continuation<void>> resumed;
        {
            std::lock_guard guard(mutex);
            if (over)
                return;
            over = true;
            cancelled = byCancellation;
            resumed.swap(continuation);
            if (byCancellation && timer)
                TimerService::shared().cancel(*timer);
        }
        if (resumed)
            resumed->resume();
    }
};

Task<void> suspendUntil(std::shared_ptr<Sleeper> sleeper, clockid_t clock, std::chrono::nanoseconds deadline)
{
    co_await withContinuation<void>([&](Continuation<void> continuation) {
        std::unique_lock lock(sleeper->mutex);
        if (sleeper->over) {
            lock.unlock();
            continuation.resume();
            return;
        }
        sleeper->continuation.emplace(std::move(continuation));
        sleeper->timer = TimerService::shared().schedule(clock, deadline, [sleeper] { sleeper->end(false); });
    });
}

} // namespace

Task<void> sleepUntil(clockid_t clock, std::chrono::nanoseconds deadline)
{
    auto sleeper = std::make_shared<Sleeper>();
    std::function<void()> onCancel = [sleeper] { sleeper->end(true); };
    co_await withTaskCancellationHandler(suspendUntil(sleeper, clock, deadline), onCancel);
    if (sleeper->cancelled)
        throw CancellationError();
}

Task<void> sleepFor(std::chrono::nanoseconds duration)
{
    return sleepUntil(CLOCK_MONOTONIC, saturatingAdd(clockNow(CLOCK_MONOTONIC), duration));
}

} // namespace tasks
