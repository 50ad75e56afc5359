// A count that threads raise and other threads wait on, for ordering steps of a test without
// sleeping: waitFor(n) blocks until the count has reached n. Safe to use from any thread.
#pragma once

#include "Support/WaitUntil.h"

#include <condition_variable>
#include <mutex>

namespace testing_support {

class SharedCounter {
public:
    void increment()
    {
        std::lock_guard guard(mutex);
        ++count;
        changed.notify_all();
    }

    void waitFor(int target) const
    {
        std::unique_lock lock(mutex);
        if (!changed.wait_for(lock, waitLimit, [&] { return count >= target; }))
            throw std::runtime_error("the counter never reached its target");
    }

    int value() const
    {
        std::lock_guard guard(mutex);
        return count;
    }

private:
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    int count = 0;
};

} // namespace testing_support
