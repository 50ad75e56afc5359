// Tasks that start later: after a deadline, or when signalled; and cancelling a task at a deadline.
//
// deferred(deadline, operation) starts a task that first sleeps until the deadline (not at all
// when it has passed) and then runs the operation; cancelled while it sleeps, it ends with
// CancellationError and the operation never runs. cancelAt(task, deadline, ...) cancels a task
// when the deadline passes before the task has finished, and does nothing otherwise.
#pragma once

#include "Platform/Dispatch/DispatchTime.h"
#include "Platform/Tasks/Cancellation.h"
#include "Platform/Tasks/Clock.h"
#include "Platform/Tasks/Spawn.h"
#include "Platform/Tasks/TaskGroup.h"

#include <chrono>
#include <optional>

namespace vl {

namespace detail {

tasks::Task<void> sleepUntilDispatchTime(dispatch::DispatchTime deadline);

template <typename T> tasks::Task<T> afterSleep(tasks::Task<void> sleep, tasks::Task<T> operation)
{
    co_await std::move(sleep);
    co_return co_await std::move(operation);
}

} // namespace detail

template <typename T> tasks::TaskHandle<T> deferred(dispatch::DispatchTime deadline, tasks::Task<T> operation)
{
    return tasks::spawn(detail::afterSleep(detail::sleepUntilDispatchTime(deadline), std::move(operation)));
}

template <tasks::Clock C, typename T>
tasks::TaskHandle<T> deferred(typename C::Instant deadline, std::optional<typename C::Duration> tolerance,
    C clock, tasks::Task<T> operation)
{
    return tasks::spawn(detail::afterSleep(clock.sleep(deadline, tolerance), std::move(operation)));
}

template <tasks::Clock C, typename T>
tasks::TaskHandle<T> deferred(typename C::Instant deadline, std::optional<typename C::Duration> tolerance,
    C clock, tasks::Executor& executorPreference, tasks::Task<T> operation)
{
    return tasks::spawn(
        detail::afterSleep(clock.sleep(deadline, tolerance), std::move(operation)), executorPreference);
}

namespace detail {

template <typename T> tasks::Task<bool> awaitCompletion(tasks::TaskHandle<T> task)
{
    (void)co_await task.result();
    co_return true;
}

template <tasks::Clock C, typename T>
tasks::Task<bool> cancelWhenDue(tasks::TaskHandle<T> task, typename C::Instant deadline,
    std::optional<typename C::Duration> tolerance, C clock)
{
    co_await clock.sleep(deadline, tolerance);
    task.cancel();
    co_return true;
}

template <tasks::Clock C, typename T>
tasks::Task<void> raceCompletionAgainstDeadline(tasks::TaskHandle<T> task, typename C::Instant deadline,
    std::optional<typename C::Duration> tolerance, C clock)
{
    auto body = [&](tasks::TaskGroup<bool>& group) -> tasks::Task<void> {
        group.addTask(awaitCompletion(task));
        group.addTask(cancelWhenDue(task, deadline, tolerance, clock));
        (void)co_await tasks::catching(group.next());
        group.cancelAll();
    };
    co_await tasks::withThrowingTaskGroup<bool>(body);
}

} // namespace detail

template <tasks::Clock C, typename T>
void cancelAt(const tasks::TaskHandle<T>& task, typename C::Instant deadline,
    std::optional<typename C::Duration> tolerance, C clock)
{
    tasks::spawnDetached(detail::raceCompletionAgainstDeadline(task, deadline, tolerance, clock));
}

} // namespace vl
