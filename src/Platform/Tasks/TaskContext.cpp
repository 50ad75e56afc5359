#include "Platform/Tasks/TaskContext.h"

namespace tasks {
namespace {

thread_local TaskContext* current = nullptr;

} // namespace

TaskContext* currentTaskContext()
{
    return current;
}

void setCurrentTaskContext(TaskContext* context)
{
    current = context;
}

TaskContext::TaskContext(Executor& executor, std::shared_ptr<const TaskLocalBinding> locals)
    : executor(executor)
    , locals(std::move(locals))
{
}

TaskContext::~TaskContext() = default;

void TaskContext::cancel()
{
    if (cancelled.exchange(true, std::memory_order_acq_rel))
        return;
    std::lock_guard guard(mutex);
    handlers.forEach([](CancellationHandlerRecord& record) { record.handler(); });
    children.forEach([](TaskContext& child) { child.cancel(); });
}

bool TaskContext::addCancellationHandler(CancellationHandlerRecord& record)
{
    std::lock_guard guard(mutex);
    if (isCancelled())
        return false;
    handlers.push(record);
    return true;
}

void TaskContext::removeCancellationHandler(CancellationHandlerRecord& record)
{
    std::lock_guard guard(mutex);
    handlers.remove(record);
}

void TaskContext::addChild(TaskContext& child)
{
    std::lock_guard guard(mutex);
    children.push(child);
    if (isCancelled())
        child.cancel();
}

void TaskContext::removeChild(TaskContext& child)
{
    std::lock_guard guard(mutex);
    children.remove(child);
}

} // namespace tasks
