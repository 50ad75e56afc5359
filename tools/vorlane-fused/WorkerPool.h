// A fixed set of threads running the jobs submitted to it, oldest first; used by the FUSE server
// so that a request the backend is slow to answer does not hold up the others.
//
// submit() is called from one thread (the server's read loop) and blocks while `queueLimit`
// jobs wait to start, which bounds the memory held by requests read ahead. drain() returns when
// every job submitted before it has finished. Destroying the pool runs the jobs still queued,
// then joins the threads. Jobs must not throw.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace fused {

class WorkerPool {
public:
    WorkerPool(std::size_t threads, std::size_t queueLimit);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void submit(std::function<void()> job);
    void drain();

private:
    void work();

    const std::size_t queueLimit;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::function<void()>> queued;
    std::size_t running = 0;
    bool stopping = false;
    std::vector<std::thread> threads;
};

} // namespace fused
