// A task that starts its operation only when signalled.
//
// deferredUntilSignalled(operation) returns the task and a signal function, callable once from
// any thread; the task waits (not cancellably) for the signal, then runs the operation.
#pragma once

#include "Platform/Tasks/Spawn.h"
#include "VLFoundation/AsyncFuture.h"

#include <functional>

namespace vl {

template <typename T>
struct SignalledTask {
    tasks::TaskHandle<T> task;
    std::function<void()> signal;
};

namespace detail {

template <typename T>
tasks::Task<T> afterSignal(std::shared_ptr<AsyncFuture<void>> started, tasks::Task<T> operation)
{
    co_await started->wait();
    co_return co_await std::move(operation);
}

} // namespace detail

template <typename T>
SignalledTask<T> deferredUntilSignalled(tasks::Task<T> operation, tasks::Executor& executorPreference = tasks::sharedExecutor())
{
    typename AsyncFuture<void>::Pair start = AsyncFuture<void>::makeFuture();
    tasks::TaskHandle<T> task = tasks::spawn(detail::afterSignal(start.future, std::move(operation)), executorPreference);
    return SignalledTask<T>{std::move(task), [promise = start.promise] { promise.resolve(); }};
}

} // namespace vl
