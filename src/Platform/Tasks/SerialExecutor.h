// An executor that runs its jobs one at a time, in the order they were enqueued, on one thread
// of its own: the isolation domain of a piece of state that tasks touch only while running on it.
//
// isCurrent() tells whether the calling thread is this executor's. Destroying the executor runs
// the jobs already queued, then joins its thread; enqueueing after destruction has begun is a
// contract violation.
#pragma once

#include "Platform/Tasks/Executor.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace tasks {

class SerialExecutor final : public Executor {
public:
    SerialExecutor();
    ~SerialExecutor() override;
    SerialExecutor(const SerialExecutor&) = delete;
    SerialExecutor& operator=(const SerialExecutor&) = delete;

    void enqueue(Job job) override;
    bool isCurrent() const;

private:
    void work();

    std::mutex mutex;
    std::condition_variable available;
    std::deque<Job> jobs;
    bool stopping = false;
    std::thread thread;
};

} // namespace tasks
