// A value cell guarded by an unfair lock, the platform's lightweight lock for shared state.
//
// Every access to the value happens inside withLock, on the calling thread, with the lock held;
// the body must not suspend, block for long, or touch the same cell again (the lock is not
// recursive). unwrap moves the value out once; after that, withLock and unwrap end the process
// with "Protected value has been unwrapped". Errors thrown by a body leave withLock unchanged,
// after the lock has been given back, and keep whatever changes the body made before throwing.
#pragma once

#include "Platform/OS/FatalError.h"
#include "Platform/OS/UnfairLock.h"

#include <optional>
#include <utility>

namespace vl {

template <typename Value> class Protected {
public:
    // Marks a value whose type is not safe to pass between tasks, handed to exactly one new task.
    struct Unsafe {
        Value value;
    };

    explicit Protected(Value initial)
        : value(std::move(initial))
    {
    }
    explicit Protected(Unsafe unsafe)
        : value(std::move(unsafe.value))
    {
    }

    Protected(const Protected&) = delete;
    Protected& operator=(const Protected&) = delete;

    template <typename Body> auto withLock(Body&& body)
    {
        os::UnfairLockGuard guard(lock);
        requireFull();
        return std::forward<Body>(body)(*value);
    }

    Value unwrap()
    {
        os::UnfairLockGuard guard(lock);
        requireFull();
        Value result = std::move(*value);
        value.reset();
        return result;
    }

private:
    void requireFull() const VL_REQUIRES(lock)
    {
        if (!value.has_value()) [[unlikely]]
            fatalError("Protected value has been unwrapped", "VLFoundation/Protected");
    }

    os::UnfairLock lock;
    std::optional<Value> value VL_GUARDED_BY(lock);
};

} // namespace vl
