// Hands values from other threads (XPC handlers, fake hosts, daemons) to a test body: push from
// any thread; next() takes the oldest value, waiting for it. The wait has a safety limit only,
// far beyond any honest wait, so that a broken test fails instead of hanging. Shared through
// std::shared_ptr where a late event could otherwise outlive it.
#pragma once

#include "Platform/XPC/Object.h"
#include "Support/WaitUntil.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <stdexcept>

template <typename Value> class Mailbox {
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
        if (!arrived.wait_for(lock, testing_support::waitLimit, [this] { return !values.empty(); }))
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

    bool isEmpty() { return count() == 0; }

private:
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Value> values;
};

using EventMailbox = Mailbox<xpc::Object>;

// An event handler that posts every event to `mailbox`.
inline auto postingTo(const std::shared_ptr<EventMailbox>& mailbox)
{
    return [mailbox](const xpc::Object& event) { mailbox->push(event); };
}
