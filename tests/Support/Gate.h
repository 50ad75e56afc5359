// A one-shot gate for driving interleavings in tests: tasks await passed(), the test opens it
// once and every waiter resumes, on the thread that opens it. Waiting tasks are suspended, not
// spinning. waiterCount() lets a test with a ManualExecutor check a step exactly;
// waitForWaiters() lets a plain thread wait, bounded, for tasks on other threads to arrive.
#pragma once

#include "Platform/Tasks/Continuation.h"
#include "Platform/Tasks/Task.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace testing_support {

class Gate {
public:
    tasks::Task<void> passed()
    {
        co_await tasks::withContinuation<void>([this](tasks::Continuation<void> continuation) {
            std::unique_lock lock(mutex);
            if (isOpen) {
                lock.unlock();
                continuation.resume();
                return;
            }
            waiters.push_back(std::move(continuation));
            ++arrived;
            changed.notify_all();
        });
    }

    void open()
    {
        std::vector<tasks::Continuation<void>> resumed;
        {
            std::lock_guard guard(mutex);
            isOpen = true;
            resumed.swap(waiters);
        }
        for (tasks::Continuation<void>& continuation : resumed)
            continuation.resume();
    }

    // The number of tasks that have arrived at the gate so far (including those it let through).
    int waiterCount() const
    {
        std::lock_guard guard(mutex);
        return arrived;
    }

    // Blocks a plain thread until `count` tasks have arrived; throws after a limit far beyond
    // any honest wait, so that a broken test fails instead of hanging.
    void waitForWaiters(int count) const
    {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, std::chrono::seconds(30), [&] { return arrived >= count; }))
            throw std::runtime_error("fewer tasks than expected arrived at the gate");
    }

private:
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    bool isOpen = false;
    int arrived = 0;
    std::vector<tasks::Continuation<void>> waiters;
};

} // namespace testing_support
