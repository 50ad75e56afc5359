// Task<T>: an asynchronous operation written as a coroutine.
//
// A Task is lazy: nothing runs until it is awaited, and it runs as part of the awaiting task (on
// the same thread, with the same cancellation and task-local values). co_await yields the
// operation's value or rethrows its error. An awaited task that finishes without suspending hands
// control back by returning, not by resuming its awaiter, so long chains of synchronously
// completing awaits do not grow the stack in any build; one that suspended resumes its awaiter
// directly when it finishes.
// A Task is move-only and may be awaited once; destroying one that never ran destroys its frame.
//
// g++ 12 mishandles some temporaries made inside a co_await expression: it destroys a lambda
// closure (or a std::function made from one) or a conditional's result twice, and cannot copy a
// braced initializer list into the coroutine frame. Code that must build with it therefore names
// such operands in a variable before the co_await; the places that do so say "(g++ 12)".
#pragma once

#include "Platform/Tasks/Result.h"

#include <atomic>
#include <coroutine>
#include <exception>
#include <optional>
#include <utility>

namespace tasks {

template <typename T = void> class [[nodiscard]] Task;

namespace detail {

// The awaiter and the finishing task each flip `handedOver`; whichever comes second continues
// the awaiter: the awaiter by not suspending, the task by resuming it.
struct TaskFinalAwaiter {
    bool await_ready() const noexcept { return false; }
    template <typename Promise> void await_suspend(std::coroutine_handle<Promise> finished) const noexcept
    {
        auto& promise = finished.promise();
        if (promise.handedOver.exchange(true, std::memory_order_acq_rel))
            promise.continuation.resume();
    }
    void await_resume() const noexcept { }
};

struct TaskPromiseBase {
    std::coroutine_handle<> continuation;
    std::atomic<bool> handedOver { false };
    std::exception_ptr error;

    std::suspend_always initial_suspend() const noexcept { return {}; }
    TaskFinalAwaiter final_suspend() const noexcept { return {}; }
    void unhandled_exception() noexcept { error = std::current_exception(); }
};

template <typename T> struct TaskPromise : TaskPromiseBase {
    std::optional<T> value;

    Task<T> get_return_object() noexcept;
    template <typename U> void return_value(U&& result) { value.emplace(std::forward<U>(result)); }
    T take()
    {
        if (error)
            std::rethrow_exception(error);
        return std::move(*value);
    }
};

template <> struct TaskPromise<void> : TaskPromiseBase {
    Task<void> get_return_object() noexcept;
    void return_void() const noexcept { }
    void take() const
    {
        if (error)
            std::rethrow_exception(error);
    }
};

} // namespace detail

template <typename T> class [[nodiscard]] Task {
public:
    using promise_type = detail::TaskPromise<T>;
    using Value = T;

    Task(Task&& other) noexcept
        : handle(std::exchange(other.handle, nullptr))
    {
    }
    Task& operator=(Task&& other) noexcept
    {
        if (this != &other) {
            destroy();
            handle = std::exchange(other.handle, nullptr);
        }
        return *this;
    }
    ~Task() { destroy(); }

    auto operator co_await() && noexcept
    {
        struct Awaiter {
            std::coroutine_handle<promise_type> handle;
            bool await_ready() const noexcept { return false; }
            bool await_suspend(std::coroutine_handle<> awaiting) const noexcept
            {
                handle.promise().continuation = awaiting;
                handle.resume();
                return !handle.promise().handedOver.exchange(true, std::memory_order_acq_rel);
            }
            T await_resume() const { return handle.promise().take(); }
        };
        return Awaiter { handle };
    }

private:
    friend promise_type;
    explicit Task(std::coroutine_handle<promise_type> handle)
        : handle(handle)
    {
    }

    void destroy()
    {
        if (handle)
            std::exchange(handle, nullptr).destroy();
    }

    std::coroutine_handle<promise_type> handle;
};

namespace detail {

template <typename T> Task<T> TaskPromise<T>::get_return_object() noexcept
{
    return Task<T>(std::coroutine_handle<TaskPromise<T>>::from_promise(*this));
}

inline Task<void> TaskPromise<void>::get_return_object() noexcept
{
    return Task<void>(std::coroutine_handle<TaskPromise<void>>::from_promise(*this));
}

} // namespace detail

// Awaits a task and captures its outcome instead of rethrowing.
template <typename T> Task<Result<T>> catching(Task<T> task)
{
    try {
        if constexpr (std::is_void_v<T>) {
            co_await std::move(task);
            co_return Result<void>::success();
        } else {
            co_return Result<T>::success(co_await std::move(task));
        }
    } catch (...) {
        co_return Result<T>::failure(std::current_exception());
    }
}

} // namespace tasks
