// Unstructured tasks: spawn starts an operation as a new task on an executor.
//
// A spawned task inherits the spawner's task-local values but not its cancellation; a detached
// task inherits nothing. The returned TaskHandle may be awaited by any number of tasks (each gets
// a copy of the outcome) and may cancel the task; dropping the handle lets the task run on.
// runBlocking starts a task and blocks the calling thread until the task has finished; called
// from inside a task it ends the process, since blocking executor threads can starve the pool of
// the very threads the task needs. waitForSpawnedTasks lets a program's main, before it returns,
// wait until no spawned task runs any more, so that none is left running while the process exits.
#pragma once

#include "Platform/OS/FatalError.h"
#include "Platform/OS/UnfairLock.h"
#include "Platform/Tasks/Continuation.h"
#include "Platform/Tasks/DetachedCoroutine.h"
#include "Platform/Tasks/Executor.h"
#include "Platform/Tasks/Task.h"
#include "Platform/Tasks/TaskContext.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace tasks {

namespace detail {

template <typename T> struct SpawnedTaskState {
    explicit SpawnedTaskState(std::shared_ptr<TaskContext> context)
        : context(std::move(context))
    {
    }

    void finish(Result<T> result)
    {
        std::vector<Continuation<Result<T>>> resumed;
        {
            os::UnfairLockGuard guard(lock);
            outcome.emplace(std::move(result));
            resumed.swap(waiters);
        }
        for (Continuation<Result<T>>& waiter : resumed)
            waiter.resume(*outcome);
    }

    const std::shared_ptr<TaskContext> context;
    os::UnfairLock lock;
    std::optional<Result<T>> outcome;
    std::vector<Continuation<Result<T>>> waiters;
};

// Counting of the spawned tasks that have not finished yet, for waitForSpawnedTasks.
void spawnedTaskStarted();
void spawnedTaskFinished();

template <typename T> DetachedCoroutine runSpawned(Task<T> task, std::shared_ptr<SpawnedTaskState<T>> state)
{
    state->finish(co_await catching(std::move(task)));
    // Everything the task owned is released before it counts as finished.
    state.reset();
    spawnedTaskFinished();
}

std::shared_ptr<TaskContext> makeTaskContext(Executor& executor, bool inheritLocals);

} // namespace detail

template <typename T> class TaskHandle {
public:
    explicit TaskHandle(std::shared_ptr<detail::SpawnedTaskState<T>> state)
        : state(std::move(state))
    {
    }

    // The task's value, or its error rethrown.
    Task<T> value() const { return valueOf(state); }

    Task<Result<T>> result() const { return waitFor(state); }

    void cancel() const { state->context->cancel(); }
    bool isCancelled() const { return state->context->isCancelled(); }

private:
    static Task<T> valueOf(std::shared_ptr<detail::SpawnedTaskState<T>> state)
    {
        Result<T> outcome = co_await waitFor(std::move(state));
        co_return std::move(outcome).get();
    }

    static Task<Result<T>> waitFor(std::shared_ptr<detail::SpawnedTaskState<T>> state)
    {
        co_return co_await withContinuation<Result<T>>([&state](Continuation<Result<T>> continuation) {
            std::optional<Result<T>> finished;
            {
                os::UnfairLockGuard guard(state->lock);
                if (state->outcome)
                    finished = state->outcome;
                else
                    state->waiters.push_back(std::move(continuation));
            }
            if (finished)
                continuation.resume(std::move(*finished));
        });
    }

    std::shared_ptr<detail::SpawnedTaskState<T>> state;
};

template <typename T>
TaskHandle<T> spawn(Task<T> operation, Executor& executor = sharedExecutor(), bool inheritLocals = true)
{
    auto state
        = std::make_shared<detail::SpawnedTaskState<T>>(detail::makeTaskContext(executor, inheritLocals));
    detail::DetachedCoroutine root = detail::runSpawned(std::move(operation), state);
    detail::spawnedTaskStarted();
    executor.enqueue(Job { root.handle, state->context.get() });
    return TaskHandle<T>(std::move(state));
}

template <typename T> TaskHandle<T> spawnDetached(Task<T> operation, Executor& executor = sharedExecutor())
{
    return spawn(std::move(operation), executor, false);
}

// Blocks the calling thread until every task spawned so far, and every task those spawn, has
// finished, or until `limit` has passed; returns whether they all finished. Called by a program
// after it has stopped its work and before it returns from main; never from inside a task.
bool waitForSpawnedTasks(std::chrono::nanoseconds limit);

template <typename T> T runBlocking(Task<T> operation)
{
    if (currentTaskContext())
        vl::fatalError("runBlocking called from inside a task", "Platform/Tasks/Spawn");
    struct Completion {
        std::mutex mutex;
        std::condition_variable finished;
        std::optional<Result<T>> outcome;
    } completion;
    auto report = [](Task<T> task, Completion* completion) -> Task<void> {
        Result<T> result = co_await catching(std::move(task));
        std::lock_guard guard(completion->mutex);
        completion->outcome.emplace(std::move(result));
        completion->finished.notify_one();
    };
    spawnDetached(report(std::move(operation), &completion));
    std::unique_lock lock(completion.mutex);
    completion.finished.wait(lock, [&] { return completion.outcome.has_value(); });
    return std::move(*completion.outcome).get();
}

} // namespace tasks
