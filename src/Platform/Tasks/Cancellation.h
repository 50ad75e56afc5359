// Cooperative cancellation of tasks.
//
// A task's cancellation is a sticky flag: isCancelled() reads it for the running task (false on
// a thread outside any task). withTaskCancellationHandler runs an operation with a handler that
// is called once, on the cancelling thread, if the task is cancelled while the operation runs;
// when the task is already cancelled the handler runs at once, before the operation starts.
// After the operation has finished the handler is never called. Handlers must be quick and must
// not wait: they typically resume a continuation.
#pragma once

#include "Platform/Tasks/Task.h"
#include "Platform/Tasks/TaskContext.h"

#include <functional>
#include <stdexcept>

namespace tasks {

class CancellationError : public std::runtime_error {
public:
    CancellationError()
        : std::runtime_error("The operation was cancelled")
    {
    }
};

bool isCancelled();

// Throws CancellationError when the running task has been cancelled.
void checkCancellation();

template <typename T> Task<T> withTaskCancellationHandler(Task<T> operation, std::function<void()> onCancel)
{
    TaskContext* context = currentTaskContext();
    CancellationHandlerRecord record { std::move(onCancel) };
    if (!context) {
        co_return co_await std::move(operation);
    }
    if (!context->addCancellationHandler(record)) {
        record.handler();
        co_return co_await std::move(operation);
    }
    struct Deregistration {
        TaskContext* context;
        CancellationHandlerRecord* record;
        ~Deregistration() { context->removeCancellationHandler(*record); }
    } deregistration { context, &record };
    co_return co_await std::move(operation);
}

} // namespace tasks
