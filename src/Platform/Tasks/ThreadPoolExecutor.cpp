#include "Platform/Tasks/ThreadPoolExecutor.h"

#include "Platform/Tasks/TaskContext.h"

#include <algorithm>

namespace tasks {

void runJob(Job job)
{
    TaskContext* previous = currentTaskContext();
    setCurrentTaskContext(job.context);
    job.handle.resume();
    setCurrentTaskContext(previous);
}

ThreadPoolExecutor::ThreadPoolExecutor(unsigned threadCount)
{
    threads.reserve(threadCount);
    for (unsigned index = 0; index < threadCount; ++index)
        threads.emplace_back([this] { work(); });
}

ThreadPoolExecutor::~ThreadPoolExecutor()
{
    {
        std::lock_guard guard(mutex);
        stopping = true;
        available.notify_all();
    }
    for (std::thread& thread : threads)
        thread.join();
}

void ThreadPoolExecutor::enqueue(Job job)
{
    // Signalled under the lock: once the lock is released a spinning thread may run the job, and
    // whatever the job ends may destroy the pool, so nothing of it may be touched after that.
    std::lock_guard guard(mutex);
    jobs.push_back(job);
    queued.fetch_add(1, std::memory_order_release);
    // A spinning thread takes a job without a wake-up; a sleeper is woken only for the jobs that
    // spinning threads leave. A spinner that stops spinning checks the queue under this lock.
    if (sleepers > 0 && jobs.size() > static_cast<std::size_t>(spinners.load(std::memory_order_acquire)))
        available.notify_one();
}

bool ThreadPoolExecutor::tryTake(Job& job)
{
    std::lock_guard guard(mutex);
    if (jobs.empty())
        return false;
    job = jobs.front();
    jobs.pop_front();
    queued.fetch_sub(1, std::memory_order_relaxed);
    return true;
}

void ThreadPoolExecutor::work()
{
    constexpr int spinLimit = 4000;
    for (;;) {
        Job job;
        bool found = tryTake(job);
        // One idle thread at a time keeps watching for work a little while before it sleeps, so
        // a job enqueued soon after is picked up without a wake-up; the others sleep at once
        // instead of taking the processors from the threads that produce the work.
        if (!found) {
            if (spinners.fetch_add(1, std::memory_order_acq_rel) == 0) {
                for (int spin = 0; !found && spin < spinLimit; ++spin) {
                    if (queued.load(std::memory_order_acquire) > 0)
                        found = tryTake(job);
                    else if (spin % 64 == 63)
                        std::this_thread::yield();
#if defined(__x86_64__)
                    else
                        __builtin_ia32_pause();
#endif
                }
            }
            spinners.fetch_sub(1, std::memory_order_acq_rel);
        }
        if (!found) {
            std::unique_lock lock(mutex);
            ++sleepers;
            available.wait(lock, [this] { return !jobs.empty() || stopping; });
            --sleepers;
            if (jobs.empty())
                return;
            job = jobs.front();
            jobs.pop_front();
            queued.fetch_sub(1, std::memory_order_relaxed);
        }
        runJob(job);
    }
}

Executor& sharedExecutor()
{
    // Never destroyed: tasks may still be running while static objects are torn down at exit.
    static ThreadPoolExecutor* const shared
        = new ThreadPoolExecutor(std::max(4u, std::thread::hardware_concurrency()));
    return *shared;
}

} // namespace tasks
