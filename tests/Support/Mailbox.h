// Hands values from XPC's threads to a test body: push from any thread, next() waits for the
// oldest value. Shared through std::shared_ptr so that a late event never outlives it.
#pragma once

#include "Platform/XPC/Object.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

template <typename Value>
class Mailbox {
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
        arrived.wait(lock, [this] { return !values.empty(); });
        Value value = std::move(values.front());
        values.pop_front();
        return value;
    }

    bool isEmpty()
    {
        std::lock_guard lock(mutex);
        return values.empty();
    }

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
