// Suspending a task until some other code hands it a value or an error.
//
// co_await withContinuation<T>(body) suspends the awaiting task and calls body with a
// Continuation<T>. Whoever holds the continuation resumes it exactly once, from any thread, with a
// value or an error; a second resume of the same continuation ends the process. Resuming only
// schedules the task on its executor: the task never runs inside the resumer's call, so
// resumers may hold their own locks. A continuation resumed before the task has finished
// suspending (inside body, or racing with it) lets the task go on without a thread hop.
// resumeHere is the exception, for a resumer that holds no lock and can wait: it runs a task that
// has finished suspending on the calling thread, until the task next suspends. The body
// must not throw; a continuation that is dropped without being resumed leaves its task suspended.
#pragma once

#include "Platform/OS/FatalError.h"
#include "Platform/Tasks/Executor.h"
#include "Platform/Tasks/Result.h"
#include "Platform/Tasks/TaskContext.h"

#include <atomic>
#include <coroutine>
#include <optional>
#include <utility>

namespace tasks {

namespace detail {

// Lives in the suspended coroutine's frame until the coroutine continues.
template <typename T> class ContinuationSlot {
public:
    void complete(Result<T> result)
    {
        outcome.emplace(std::move(result));
        // After this exchange the frame may be gone unless the task had finished suspending.
        if (state.exchange(resumed, std::memory_order_acq_rel) == suspended) {
            TaskContext* taskContext = context;
            taskContext->executor.enqueue(Job { waiting, taskContext });
        }
    }

    void completeHere(Result<T> result)
    {
        outcome.emplace(std::move(result));
        if (state.exchange(resumed, std::memory_order_acq_rel) == suspended)
            runJob(Job { waiting, context });
    }

protected:
    static constexpr int running = 0;
    static constexpr int suspended = 1;
    static constexpr int resumed = 2;

    std::atomic<int> state { running };
    std::coroutine_handle<> waiting;
    TaskContext* context = nullptr;
    std::optional<Result<T>> outcome;
};

} // namespace detail

template <typename T> class Continuation {
public:
    explicit Continuation(detail::ContinuationSlot<T>* slot)
        : slot(slot)
    {
    }
    Continuation(Continuation&& other) noexcept
        : slot(std::exchange(other.slot, nullptr))
    {
    }
    Continuation& operator=(Continuation&& other) noexcept
    {
        slot = std::exchange(other.slot, nullptr);
        return *this;
    }
    Continuation(const Continuation&) = delete;
    Continuation& operator=(const Continuation&) = delete;

    void resume(Result<T> result) { take()->complete(std::move(result)); }

    template <typename U = T>
    requires(!std::is_void_v<U>) void resume(U value) { resume(Result<T>::success(std::move(value))); }

    void resume() requires std::is_void_v<T> { resume(Result<void>::success()); }

    void resumeThrowing(std::exception_ptr error) { resume(Result<T>::failure(std::move(error))); }

    void resumeHere(Result<T> result) { take()->completeHere(std::move(result)); }

    // False once the continuation has been resumed or moved from.
    explicit operator bool() const { return slot != nullptr; }

private:
    detail::ContinuationSlot<T>* take()
    {
        if (!slot)
            vl::fatalError("Continuation resumed more than once", "Platform/Tasks/Continuation");
        return std::exchange(slot, nullptr);
    }

    detail::ContinuationSlot<T>* slot;
};

template <typename T, typename Body> class ContinuationAwaiter : private detail::ContinuationSlot<T> {
    using Slot = detail::ContinuationSlot<T>;

public:
    explicit ContinuationAwaiter(Body body)
        : body(std::move(body))
    {
    }

    bool await_ready() const noexcept { return false; }

    bool await_suspend(std::coroutine_handle<> handle)
    {
        this->waiting = handle;
        this->context = currentTaskContext();
        if (!this->context)
            vl::fatalError("Continuation awaited outside a task", "Platform/Tasks/Continuation");
        body(Continuation<T>(static_cast<Slot*>(this)));
        int expected = Slot::running;
        return this->state.compare_exchange_strong(expected, Slot::suspended, std::memory_order_acq_rel);
    }

    T await_resume() { return std::move(*this->outcome).get(); }

private:
    Body body;
};

template <typename T, typename Body> ContinuationAwaiter<T, Body> withContinuation(Body body)
{
    return ContinuationAwaiter<T, Body>(std::move(body));
}

} // namespace tasks
