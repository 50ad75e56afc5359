// Hands values from other threads (XPC handlers, fake hosts) to a test body: push from any
// thread; next() takes the oldest value, waiting for it. The wait has a safety limit only, far
// beyond any honest wait, so that a broken test fails instead of hanging.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <stdexcept>

namespace testing_support {

template <typename Value>
class Inbox {
public:
    void push(Value value)
    {
        {
            std::lock_guard lock(mutex);
            values.push_back(std::move(value));
        }
        arrived.notify_all();
    }

    Value next()
    {
        std::unique_lock lock(mutex);
        if (!arrived.wait_for(lock, std::chrono::seconds(60), [this] { return !values.empty(); }))
            throw std::runtime_error("nothing arrived within the safety limit");
        Value value = std::move(values.front());
        values.pop_front();
        return value;
    }

    std::size_t count()
    {
        std::lock_guard lock(mutex);
        return values.size();
    }

private:
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Value> values;
};

} // namespace testing_support
