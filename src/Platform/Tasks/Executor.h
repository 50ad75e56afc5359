// Where tasks run: an executor takes jobs (a suspended coroutine and the task it belongs to) and
// resumes each exactly once on one of its threads.
//
// The shared executor is a fixed pool of threads that lives for the whole process. Jobs are
// taken first in, first out; a job never runs on the thread that enqueued it while that thread
// is inside enqueue, so resuming a task from inside a lock never runs the task inside that lock.
#pragma once

#include <coroutine>

namespace tasks {

class TaskContext;

struct Job {
    std::coroutine_handle<> handle;
    TaskContext* context;
};

class Executor {
public:
    virtual ~Executor() = default;
    virtual void enqueue(Job job) = 0;
};

// Resumes the job with its task as the current one; used by every executor's threads.
void runJob(Job job);

Executor& sharedExecutor();

} // namespace tasks
