#include "Platform/Tasks/Cancellation.h"

namespace tasks {

bool isCancelled()
{
    TaskContext* context = currentTaskContext();
    return context && context->isCancelled();
}

void checkCancellation()
{
    if (isCancelled())
        throw CancellationError();
}

} // namespace tasks
