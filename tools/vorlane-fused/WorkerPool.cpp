#include "vorlane-fused/WorkerPool.h"

namespace fused {

WorkerPool::WorkerPool(std::size_t threads, std::size_t queueLimit)
    : queueLimit(queueLimit)
{
    for (std::size_t index = 0; index < threads; ++index)
        this->threads.emplace_back([this] { work(); });
}

WorkerPool::~WorkerPool()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    for (std::thread& thread : threads)
        thread.join();
}

void WorkerPool::submit(std::function<void()> job)
{
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [this] { return queued.size() < queueLimit; });
        queued.push_back(std::move(job));
    }
    // One condition for every state change: waiting submitters, drainers and idle workers alike.
    changed.notify_all();
}

void WorkerPool::drain()
{
    std::unique_lock lock(mutex);
    changed.wait(lock, [this] { return queued.empty() && running == 0; });
}

void WorkerPool::work()
{
    std::unique_lock lock(mutex);
    for (;;) {
        changed.wait(lock, [this] { return !queued.empty() || stopping; });
        if (queued.empty())
            return;
        std::function<void()> job = std::move(queued.front());
        queued.pop_front();
        ++running;
        lock.unlock();
        changed.notify_all();
        job();
        job = nullptr;
        lock.lock();
        --running;
        changed.notify_all();
    }
}

} // namespace fused
