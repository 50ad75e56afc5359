// The state of one running task: its cancellation flag and handlers, its task-local bindings and
// the child tasks that its cancellation reaches.
//
// A context is created for each spawned task and each task-group child and lives as long as its
// task (shared ownership). The thread that runs a job of the task sees it as the current context.
// Cancellation is sticky; it runs every registered handler once, on the cancelling thread, and
// then cancels every child. Handlers run under the context's lock, so a handler that has been
// removed is guaranteed not to be running any more. The task-local bindings are read and written
// only by the task itself.
//
// Lock order: a task group's lock, then the lock of a child's context (cancelAll cancels the
// children under the group's lock); a parent context's lock, then its children's. Cancellation
// handlers therefore run under both kinds of lock: they may take locks that come after these (a
// future's or a sleeper's state lock, the timer service's, an executor's) and may cancel a task
// that stands below theirs (forwarding cancellation downwards), but never take a group's lock or
// cancel their own task or one above it.
#pragma once

#include "Platform/Tasks/IntrusiveList.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace tasks {

class Executor;

// One binding of a task-local value; bindings form an immutable list shared with child tasks.
struct TaskLocalBinding {
    const void* key;
    std::shared_ptr<const void> value;
    std::shared_ptr<const TaskLocalBinding> next;
};

// A cancellation handler registered by a running task; lives in that task's coroutine frame.
struct CancellationHandlerRecord {
    std::function<void()> handler;
    IntrusiveListLink<CancellationHandlerRecord> link;
};

class TaskContext {
public:
    TaskContext(Executor& executor, std::shared_ptr<const TaskLocalBinding> locals);
    ~TaskContext();
    TaskContext(const TaskContext&) = delete;
    TaskContext& operator=(const TaskContext&) = delete;

    bool isCancelled() const { return cancelled.load(std::memory_order_acquire); }
    void cancel();

    // Registers a handler; returns false (and registers nothing) when the task is already
    // cancelled, in which case the caller runs the handler itself.
    bool addCancellationHandler(CancellationHandlerRecord& record);
    void removeCancellationHandler(CancellationHandlerRecord& record);

    // A child is cancelled with its parent; one added to a cancelled parent starts cancelled.
    void addChild(TaskContext& child);
    void removeChild(TaskContext& child);

    Executor& executor;
    std::shared_ptr<const TaskLocalBinding> locals;

private:
    std::atomic<bool> cancelled { false };
    std::mutex mutex;
    IntrusiveList<CancellationHandlerRecord, &CancellationHandlerRecord::link> handlers;
    IntrusiveListLink<TaskContext> siblings;
    IntrusiveList<TaskContext, &TaskContext::siblings> children;
};

// The context of the task running on this thread, or null on a thread outside any task.
TaskContext* currentTaskContext();
void setCurrentTaskContext(TaskContext* context);

} // namespace tasks
