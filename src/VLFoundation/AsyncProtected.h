// A value cell for critical sections that suspend: one holder at a time, admitted first come,
// first served through a one-permit AsyncSemaphore.
//
// withLock runs an asynchronous body on the value and passes its result or error on, after the
// permit has been given back. Waiting for the cell suspends the task and cannot be cancelled.
// The executor-bound form runs the body, and every step of it after a suspension, on the given
// executor, and returns to the caller on it. unwrap moves the value out once; afterwards
// withLock and unwrap end the process ("Protected value has been unwrapped"). A body must not
// use its own cell again: it would wait for itself.
#pragma once

#include "Platform/OS/FatalError.h"
#include "Platform/Tasks/Cancellation.h"
#include "Platform/Tasks/Executor.h"
#include "Platform/Tasks/ResumeOn.h"
#include "Platform/Tasks/Spawn.h"
#include "Platform/Tasks/Task.h"
#include "VLFoundation/AsyncSemaphore.h"

#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

namespace vl {

template <typename Value> class AsyncProtected {
public:
    explicit AsyncProtected(Value initial)
        : semaphore(std::make_shared<AsyncSemaphore>(1))
        , value(std::move(initial))
    {
    }
    AsyncProtected(const AsyncProtected&) = delete;
    AsyncProtected& operator=(const AsyncProtected&) = delete;

    // body(Value&) returns a tasks::Task<R>; withLock returns a task with the same outcome.
    template <typename Body>
    auto withLock(Body body) -> tasks::Task<typename std::invoke_result_t<Body&, Value&>::Value>
    {
        // The semaphore may wake the next holder, which may destroy the cell, while signal runs.
        std::shared_ptr<AsyncSemaphore> permit = semaphore;
        co_await permit->wait();
        requireFull();
        auto outcome = co_await tasks::catching(body(*value));
        permit->signal();
        co_return std::move(outcome).get();
    }

    // body(tasks::Executor&, Value&) returns a tasks::Task<R>; it runs on `isolation`.
    template <typename Body>
    auto withLock(tasks::Executor& isolation, Body body)
        -> tasks::Task<typename std::invoke_result_t<Body&, tasks::Executor&, Value&>::Value>
    {
        using Result = typename std::invoke_result_t<Body&, tasks::Executor&, Value&>::Value;
        std::shared_ptr<AsyncSemaphore> permit = semaphore;
        co_await tasks::resumeOn(isolation);
        co_await permit->wait();
        co_await tasks::resumeOn(isolation);
        requireFull();
        std::optional<tasks::Result<Result>> outcome;
        co_await runIsolated(isolation, body(isolation, *value), outcome);
        co_await tasks::resumeOn(isolation);
        permit->signal();
        co_return std::move(*outcome).get();
    }

    tasks::Task<Value> unwrap()
    {
        std::shared_ptr<AsyncSemaphore> permit = semaphore;
        co_await permit->wait();
        requireFull();
        Value taken = std::move(*value);
        value.reset();
        permit->signal();
        co_return taken;
    }

private:
    void requireFull() const
    {
        if (!value.has_value()) [[unlikely]]
            fatalError("Protected value has been unwrapped", "VLFoundation/AsyncProtected");
    }

    template <typename R>
    static tasks::Task<void> storeOutcome(tasks::Task<R> body, std::optional<tasks::Result<R>>& outcome)
    {
        outcome.emplace(co_await tasks::catching(std::move(body)));
    }

    // Runs the body as a task of its own whose executor is `isolation`, so that it resumes there
    // after each of its suspensions; it shares the caller's task-locals and cancellation.
    template <typename R>
    static tasks::Task<void> runIsolated(
        tasks::Executor& isolation, tasks::Task<R> body, std::optional<tasks::Result<R>>& outcome)
    {
        tasks::TaskHandle<void> isolated = tasks::spawn(storeOutcome(std::move(body), outcome), isolation);
        std::function<void()> forwardCancellation = [isolated] { isolated.cancel(); };
        co_await tasks::withTaskCancellationHandler(isolated.value(), forwardCancellation);
    }

    const std::shared_ptr<AsyncSemaphore> semaphore;
    std::optional<Value> value;
};

} // namespace vl
