// Moving the running task to another executor: after co_await resumeOn(executor) the task goes
// on on one of that executor's threads.
//
// The hop lasts until the task next suspends: whatever resumes it later schedules it on its own
// executor again, so code that must stay on `executor` hops again after every suspension.
#pragma once

#include "Platform/Tasks/Executor.h"
#include "Platform/Tasks/TaskContext.h"

#include <coroutine>

namespace tasks {

class ResumeOnAwaiter {
public:
    explicit ResumeOnAwaiter(Executor& target)
        : target(target)
    {
    }
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) const
    {
        target.enqueue(Job { handle, currentTaskContext() });
    }
    void await_resume() const noexcept { }

private:
    Executor& target;
};

inline ResumeOnAwaiter resumeOn(Executor& executor)
{
    return ResumeOnAwaiter(executor);
}

} // namespace tasks
