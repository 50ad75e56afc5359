// A counting semaphore for tasks: waiting suspends the task, never a thread.
//
// Waiters are admitted first come, first served: signal() hands its permit straight to the
// longest-waiting task (resumed inside the state lock, which only schedules it), so a task that
// calls wait() later cannot overtake one already waiting. Waits cannot be cancelled: a cancelled
// waiter keeps waiting until a permit reaches it. Invariant: waiters exist only while no permit
// is free.
#pragma once

#include "Platform/Tasks/Continuation.h"
#include "Platform/Tasks/Task.h"
#include "VLFoundation/Protected.h"

#include <cstdint>
#include <deque>

namespace vl {

class AsyncSemaphore {
public:
    // A negative number of permits ends the process.
    explicit AsyncSemaphore(std::int64_t value);
    AsyncSemaphore(const AsyncSemaphore&) = delete;
    AsyncSemaphore& operator=(const AsyncSemaphore&) = delete;

    // Takes a permit; returns without suspending when one is free.
    tasks::Task<void> wait();
    void signal();

private:
    struct State {
        std::int64_t value;
        std::deque<tasks::Continuation<void>> continuations;
    };

    bool tryTake();

    Protected<State> state;
};

} // namespace vl
