// The root coroutine of a task that nothing awaits: it starts when its job is first run and
// frees its own frame when it finishes. Its body must catch every error itself.
#pragma once

#include <coroutine>
#include <exception>

namespace tasks::detail {

struct DetachedCoroutine {
    struct promise_type {
        DetachedCoroutine get_return_object() noexcept
        {
            return { std::coroutine_handle<promise_type>::from_promise(*this) };
        }
        std::suspend_always initial_suspend() const noexcept { return {}; }
        std::suspend_never final_suspend() const noexcept { return {}; }
        void return_void() const noexcept { }
        void unhandled_exception() const noexcept { std::terminate(); }
    };

    std::coroutine_handle<promise_type> handle;
};

} // namespace tasks::detail
