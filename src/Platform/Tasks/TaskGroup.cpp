#include "Platform/Tasks/TaskGroup.h"

#include "Platform/OS/FatalError.h"

namespace tasks::detail {

std::shared_ptr<TaskContext> makeChildContext(TaskContext& parent)
{
    TaskContext* adder = currentTaskContext();
    return std::make_shared<TaskContext>(parent.executor, adder ? adder->locals : parent.locals);
}

TaskContext& requireCurrentTask()
{
    TaskContext* context = currentTaskContext();
    if (!context)
        vl::fatalError("Task group used outside a task", "Platform/Tasks/TaskGroup");
    return *context;
}

} // namespace tasks::detail
