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
    : executor(executor), locals(std::move(locals))
{
}

TaskContext::~TaskContext() = default;

void TaskContext::cancel()
{
    if (cancelled.exchange(true, std::memory_order_acq_rel))
        return;
    std::lock_guard guard(mutex);
    for (CancellationHandlerRecord* record = handlers; record; record = record->next)
        record->handler();
    for (TaskContext* child = firstChild; child; child = child->nextSibling)
        child->cancel();
}

bool TaskContext::addCancellationHandler(CancellationHandlerRecord& record)
{
    std::lock_guard guard(mutex);
    if (isCancelled())
        return false;
    record.previous = nullptr;
    record.next = handlers;
    if (handlers)
        handlers->previous = &record;
    handlers = &record;
    return true;
}

void TaskContext::removeCancellationHandler(CancellationHandlerRecord& record)
{
    std::lock_guard guard(mutex);
    if (record.previous)
        record.previous->next = record.next;
    else if (handlers == &record)
        handlers = record.next;
    if (record.next)
        record.next->previous = record.previous;
    record.previous = record.next = nullptr;
}

void TaskContext::addChild(TaskContext& child)
{
    std::lock_guard guard(mutex);
    child.previousSibling = nullptr;
    child.nextSibling = firstChild;
    if (firstChild)
        firstChild->previousSibling = &child;
    firstChild = &child;
    if (isCancelled())
        child.cancel();
}

void TaskContext::removeChild(TaskContext& child)
{
    std::lock_guard guard(mutex);
    if (child.previousSibling)
        child.previousSibling->nextSibling = child.nextSibling;
    else if (firstChild == &child)
        firstChild = child.nextSibling;
    if (child.nextSibling)
        child.nextSibling->previousSibling = child.previousSibling;
    child.previousSibling = child.nextSibling = nullptr;
}

} // namespace tasks
