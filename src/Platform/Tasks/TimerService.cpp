#include "Platform/Tasks/TimerService.h"

#include "Platform/Tasks/Deadline.h"

#include <algorithm>

namespace tasks {

std::chrono::nanoseconds clockNow(clockid_t clock)
{
    timespec now {};
    clock_gettime(clock, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

TimerService::TimerService()
    : thread([this] { run(); })
{
}

TimerService::~TimerService()
{
    {
        std::lock_guard guard(mutex);
        stopping = true;
        changed.notify_all();
    }
    thread.join();
}

TimerService::Queue& TimerService::queueOf(clockid_t clock)
{
    for (Queue& queue : queues)
        if (queue.clock == clock)
            return queue;
    return queues.emplace_back(Queue { clock, {} });
}

TimerService::Identifier TimerService::schedule(
    clockid_t clock, std::chrono::nanoseconds deadline, std::function<void()> callback)
{
    std::lock_guard guard(mutex);
    Identifier identifier = nextIdentifier++;
    Key key { deadline, identifier };
    Queue& queue = queueOf(clock);
    auto [position, inserted] = queue.timers.emplace(key, std::move(callback));
    locations.emplace(identifier, Location { clock, key });
    // Only a new earliest deadline can make the timer thread wake sooner than it planned.
    if (position == queue.timers.begin())
        changed.notify_one();
    return identifier;
}

bool TimerService::cancel(Identifier identifier)
{
    std::lock_guard guard(mutex);
    auto location = locations.find(identifier);
    if (location == locations.end())
        return false;
    queueOf(location->second.clock).timers.erase(location->second.key);
    locations.erase(location);
    return true;
}

void TimerService::run()
{
    std::unique_lock lock(mutex);
    while (!stopping) {
        // Deadlines of both clocks are compared as time left from now, so that a deadline of the
        // boot-time clock still fires on time after the machine has slept.
        Queue* due = nullptr;
        std::chrono::nanoseconds soonest = std::chrono::nanoseconds::max();
        for (Queue& queue : queues) {
            if (queue.timers.empty())
                continue;
            std::chrono::nanoseconds left
                = saturatingAdd(queue.timers.begin()->first.first, -clockNow(queue.clock));
            if (!due || left < soonest) {
                soonest = left;
                due = &queue;
            }
        }
        if (!due) {
            changed.wait(lock);
            continue;
        }
        if (soonest > std::chrono::nanoseconds::zero()) {
            // A distant deadline is waited for in bounded steps: the condition variable never
            // sees a timeout that could overflow inside the library.
            constexpr std::chrono::nanoseconds longestWait = std::chrono::hours(1);
            changed.wait_until(
                lock, saturatingAdd(std::chrono::steady_clock::now(), std::min(soonest, longestWait)));
            continue;
        }
        auto first = due->timers.begin();
        std::function<void()> callback = std::move(first->second);
        locations.erase(first->first.second);
        due->timers.erase(first);
        lock.unlock();
        callback();
        lock.lock();
    }
}

TimerService& TimerService::shared()
{
    // Never destroyed, like the shared executor: sleeping tasks may outlive static destruction.
    static TimerService* const service = new TimerService();
    return *service;
}

} // namespace tasks
