#include "Platform/Tasks/TimerService.h"

#include <algorithm>

namespace tasks {

std::chrono::nanoseconds clockNow(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

TimerService::TimerService() : thread([this] { run(); }) {}

TimerService::~TimerService()
{
    {
        std::lock_guard guard(mutex);
        stopping = true;
    }
    changed.notify_all();
    thread.join();
}

TimerService::Identifier TimerService::schedule(clockid_t clock, std::chrono::nanoseconds deadline,
                                                std::function<void()> callback)
{
    Identifier identifier;
    {
        std::lock_guard guard(mutex);
        identifier = nextIdentifier++;
        entries.emplace(identifier, Entry{clock, deadline, std::move(callback)});
    }
    changed.notify_one();
    return identifier;
}

bool TimerService::cancel(Identifier identifier)
{
    std::lock_guard guard(mutex);
    return entries.erase(identifier) > 0;
}

void TimerService::run()
{
    std::unique_lock lock(mutex);
    while (!stopping) {
        // Deadlines of both clocks are compared as time left from now, so that a deadline of the
        // boot-time clock still fires on time after the machine has slept.
        auto due = entries.end();
        std::chrono::nanoseconds soonest = std::chrono::nanoseconds::max();
        for (auto entry = entries.begin(); entry != entries.end(); ++entry) {
            std::chrono::nanoseconds left = entry->second.deadline - clockNow(entry->second.clock);
            if (left < soonest) {
                soonest = left;
                due = entry;
            }
        }
        if (due == entries.end()) {
            changed.wait(lock);
            continue;
        }
        if (soonest > std::chrono::nanoseconds::zero()) {
            changed.wait_for(lock, soonest);
            continue;
        }
        std::function<void()> callback = std::move(due->second.callback);
        entries.erase(due);
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
