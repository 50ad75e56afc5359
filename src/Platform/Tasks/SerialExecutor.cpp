#include "Platform/Tasks/SerialExecutor.h"

namespace tasks {

namespace {

thread_local const SerialExecutor* runningExecutor = nullptr;

} // namespace

SerialExecutor::SerialExecutor()
    : thread([this] { work(); })
{
}

SerialExecutor::~SerialExecutor()
{
    {
        std::lock_guard guard(mutex);
        stopping = true;
        available.notify_one();
    }
    thread.join();
}

void SerialExecutor::enqueue(Job job)
{
    // Signalled under the lock: once the lock is released the job may run, its task end and the
    // executor's owner destroy the executor, so nothing of it may be touched after that.
    std::lock_guard guard(mutex);
    jobs.push_back(job);
    available.notify_one();
}

bool SerialExecutor::isCurrent() const
{
    return runningExecutor == this;
}

void SerialExecutor::work()
{
    runningExecutor = this;
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex);
            available.wait(lock, [this] { return !jobs.empty() || stopping; });
            if (jobs.empty())
                return;
            job = jobs.front();
            jobs.pop_front();
        }
        runJob(job);
    }
}

} // namespace tasks
