// A fixed pool of threads that run jobs first in, first out.
//
// One idle thread at a time spins briefly before it sleeps, so a job enqueued soon after another
// finished is picked up without a kernel wake-up (enqueue wakes a sleeper only for jobs beyond
// the spinners'), and the other idle threads leave the processors to the threads that make the
// work. Destroying the pool runs the jobs already queued, then joins its threads; enqueueing
// after destruction has begun is a contract violation.
#pragma once

#include "Platform/Tasks/Executor.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace tasks {

class ThreadPoolExecutor final : public Executor {
public:
    explicit ThreadPoolExecutor(unsigned threadCount);
    ~ThreadPoolExecutor() override;

    void enqueue(Job job) override;

private:
    void work();
    bool tryTake(Job& job);

    std::mutex mutex;
    std::condition_variable available;
    std::deque<Job> jobs;
    unsigned sleepers = 0;
    bool stopping = false;
    std::atomic<std::size_t> queued { 0 };
    std::atomic<int> spinners { 0 };
    std::vector<std::thread> threads;
};

} // namespace tasks
