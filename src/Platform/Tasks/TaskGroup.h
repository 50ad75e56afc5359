// Structured concurrency: a group of child tasks that ends only when all of its children have.
//
// withThrowingTaskGroup<T>(body) gives body a TaskGroup<T>: addTask starts a child on the
// executor (it inherits the task-local values bound where addTask is called), next() returns the
// outcome of the next child to finish (in completion order; nullopt when none is left), and
// waitForAll() waits for every child, cancelling the others on the first failure and rethrowing
// that failure. withThrowingDiscardingTaskGroup keeps no results: the first failing child cancels
// the others and its error is rethrown once all have finished. In both forms the children are
// cancelled when the group's task is cancelled or body throws, and the call returns only after
// every child has finished (the results of children nobody asked for are dropped).
// The group's lock comes before any child context's lock (see TaskContext.h): it is held while
// children are cancelled, and a finishing child leaves its parent's context before taking it.
#pragma once

#include "Platform/OS/UnfairLock.h"
#include "Platform/Tasks/Continuation.h"
#include "Platform/Tasks/DetachedCoroutine.h"
#include "Platform/Tasks/Task.h"
#include "Platform/Tasks/TaskContext.h"

#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace tasks {

namespace detail {

std::shared_ptr<TaskContext> makeChildContext(TaskContext& parent);

// The state shared between a group and its running children.
template <typename T> struct TaskGroupState {
    explicit TaskGroupState(TaskContext& parent, bool discardResults)
        : parent(parent)
        , discardResults(discardResults)
    {
    }

    // Called by a finishing child; the child touches nothing of the group after it returns.
    void childFinished(TaskContext& child, Result<T> result)
    {
        parent.removeChild(child);
        std::optional<Continuation<void>> waiter;
        bool cancelOthers = false;
        {
            os::UnfairLockGuard guard(lock);
            std::erase_if(children, [&](const auto& context) { return context.get() == &child; });
            --running;
            if (!discardResults)
                completed.push_back(std::move(result));
            else if (!result.isSuccess() && !firstError) {
                firstError = result.error();
                cancelOthers = true;
            }
            waiter.swap(this->waiter);
        }
        if (cancelOthers)
            cancelAll();
        if (waiter)
            waiter->resume();
    }

    void cancelAll()
    {
        os::UnfairLockGuard guard(lock);
        cancelled = true;
        for (const std::shared_ptr<TaskContext>& child : children)
            child->cancel();
    }

    // Waits until a child finishes or none is running; returns at once when that holds already.
    Task<void> waitForChange()
    {
        co_await withContinuation<void>([this](Continuation<void> continuation) {
            bool ready;
            {
                os::UnfairLockGuard guard(lock);
                ready = running == 0 || !completed.empty();
                if (!ready)
                    waiter.emplace(std::move(continuation));
            }
            if (ready)
                continuation.resume();
        });
    }

    TaskContext& parent;
    const bool discardResults;
    os::UnfairLock lock;
    std::size_t running = 0;
    bool cancelled = false;
    std::deque<Result<T>> completed;
    std::exception_ptr firstError;
    std::vector<std::shared_ptr<TaskContext>> children;
    std::optional<Continuation<void>> waiter;
};

template <typename T>
DetachedCoroutine runChild(
    Task<T> task, std::shared_ptr<TaskContext> context, std::shared_ptr<TaskGroupState<T>> group)
{
    Result<T> result = co_await catching(std::move(task));
    group->childFinished(*context, std::move(result));
}

template <typename T> void addChild(const std::shared_ptr<TaskGroupState<T>>& group, Task<T> operation)
{
    std::shared_ptr<TaskContext> child = makeChildContext(group->parent);
    {
        os::UnfairLockGuard guard(group->lock);
        ++group->running;
        group->children.push_back(child);
        if (group->cancelled)
            child->cancel();
    }
    group->parent.addChild(*child);
    DetachedCoroutine root = runChild(std::move(operation), child, group);
    child->executor.enqueue(Job { root.handle, child.get() });
}

template <typename T> Task<void> drain(std::shared_ptr<TaskGroupState<T>> group)
{
    for (;;) {
        {
            os::UnfairLockGuard guard(group->lock);
            group->completed.clear();
            if (group->running == 0)
                co_return;
        }
        co_await group->waitForChange();
    }
}

TaskContext& requireCurrentTask();

} // namespace detail

template <typename T> class TaskGroup {
    static_assert(!std::is_void_v<T>, "children without results belong in a DiscardingTaskGroup");

public:
    explicit TaskGroup(std::shared_ptr<detail::TaskGroupState<T>> state)
        : state(std::move(state))
    {
    }

    void addTask(Task<T> operation) { detail::addChild(state, std::move(operation)); }

    // The next child's value in completion order (its error rethrown); nullopt when none is left.
    Task<std::optional<T>> next() { return nextOf(state); }

    Task<void> waitForAll() { return waitForAllOf(state); }

    void cancelAll() { state->cancelAll(); }

    bool isCancelled() const
    {
        os::UnfairLockGuard guard(state->lock);
        return state->cancelled || state->parent.isCancelled();
    }

    bool isEmpty() const
    {
        os::UnfairLockGuard guard(state->lock);
        return state->running == 0 && state->completed.empty();
    }

private:
    static Task<std::optional<T>> nextOf(std::shared_ptr<detail::TaskGroupState<T>> state)
    {
        for (;;) {
            std::optional<Result<T>> result;
            {
                os::UnfairLockGuard guard(state->lock);
                if (!state->completed.empty()) {
                    result.emplace(std::move(state->completed.front()));
                    state->completed.pop_front();
                } else if (state->running == 0) {
                    co_return std::nullopt;
                }
            }
            if (result)
                co_return std::move(*result).get();
            co_await state->waitForChange();
        }
    }

    static Task<void> waitForAllOf(std::shared_ptr<detail::TaskGroupState<T>> state)
    {
        std::exception_ptr firstError;
        for (;;) {
            Result<std::optional<T>> next = co_await catching(nextOf(state));
            if (!next.isSuccess()) {
                if (!firstError) {
                    firstError = next.error();
                    state->cancelAll();
                }
                continue;
            }
            if (!std::move(next).get())
                break;
        }
        if (firstError)
            std::rethrow_exception(firstError);
    }

    std::shared_ptr<detail::TaskGroupState<T>> state;
};

class DiscardingTaskGroup {
public:
    explicit DiscardingTaskGroup(std::shared_ptr<detail::TaskGroupState<void>> state)
        : state(std::move(state))
    {
    }

    void addTask(Task<void> operation) { detail::addChild(state, std::move(operation)); }
    void cancelAll() { state->cancelAll(); }
    bool isCancelled() const
    {
        os::UnfairLockGuard guard(state->lock);
        return state->cancelled || state->parent.isCancelled();
    }

private:
    std::shared_ptr<detail::TaskGroupState<void>> state;
};

template <typename T, typename Body>
auto withThrowingTaskGroup(Body body) -> decltype(body(std::declval<TaskGroup<T>&>()))
{
    auto state = std::make_shared<detail::TaskGroupState<T>>(detail::requireCurrentTask(), false);
    TaskGroup<T> group(state);
    auto outcome = co_await catching(body(group));
    if (!outcome.isSuccess())
        state->cancelAll();
    co_await detail::drain(state);
    co_return std::move(outcome).get();
}

template <typename Body> Task<void> withThrowingDiscardingTaskGroup(Body body)
{
    auto state = std::make_shared<detail::TaskGroupState<void>>(detail::requireCurrentTask(), true);
    DiscardingTaskGroup group(state);
    Result<void> outcome = co_await catching(body(group));
    if (!outcome.isSuccess())
        state->cancelAll();
    co_await detail::drain(state);
    outcome.get();
    if (state->firstError)
        std::rethrow_exception(state->firstError);
}

} // namespace tasks
