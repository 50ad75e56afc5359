// An executor for tests that runs jobs only when the test asks, on the test's own thread.
//
// Tasks spawned on it (and every task they resume) advance one job at a time under the test's
// control, so interleavings are exact and need neither sleeps nor spinning. runUntilIdle() runs
// queued jobs, including ones they enqueue, until none is left. Every task a test starts must
// have finished before the executor is destroyed.
#pragma once

#include "Platform/Tasks/Executor.h"

#include <deque>
#include <mutex>
#include <optional>

namespace testing_support {

class ManualExecutor final : public tasks::Executor {
public:
    void enqueue(tasks::Job job) override
    {
        std::lock_guard guard(mutex);
        jobs.push_back(job);
    }

    std::size_t runUntilIdle()
    {
        std::size_t ran = 0;
        while (std::optional<tasks::Job> job = take()) {
            tasks::runJob(*job);
            ++ran;
        }
        return ran;
    }

private:
    std::optional<tasks::Job> take()
    {
        std::lock_guard guard(mutex);
        if (jobs.empty())
            return std::nullopt;
        tasks::Job job = jobs.front();
        jobs.pop_front();
        return job;
    }

    std::mutex mutex;
    std::deque<tasks::Job> jobs;
};

} // namespace testing_support
