// A one-shot gate for driving interleavings in tests: tasks await open(), a test thread or task
// opens it. Built on a continuation list, so waiting tasks are suspended, not spinning.
#pragma once

#include "Platform/Tasks/Continuation.h"
#include "Platform/Tasks/Task.h"

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace testing_support {

class TestGate {
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
            waiting.fetch_add(1);
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

    // Blocks a plain thread until `count` tasks wait at the gate.
    void waitForWaiters(int count) const
    {
        while (waiting.load() < count)
            std::this_thread::yield();
    }

private:
    std::mutex mutex;
    bool isOpen = false;
    std::vector<tasks::Continuation<void>> waiters;
    std::atomic<int> waiting{0};
};

} // namespace testing_support
