#include "Platform/Tasks/Spawn.h"

namespace tasks::detail {

std::shared_ptr<TaskContext> makeTaskContext(Executor& executor, bool inheritLocals)
{
    TaskContext* spawner = currentTaskContext();
    std::shared_ptr<const TaskLocalBinding> locals;
    if (inheritLocals && spawner)
        locals = spawner->locals;
    return std::make_shared<TaskContext>(executor, std::move(locals));
}

} // namespace tasks::detail

