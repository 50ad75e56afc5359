// One thread that fires callbacks at deadlines of the monotonic or the boot-time clock.
//
// schedule returns an identifier that cancel takes; cancel returns true when the callback had not
// started and never will. Callbacks run on the timer thread, one at a time, outside the service's
// lock, and must be short (they resume continuations). Of the callbacks that are due, the most
// overdue fires first, across clocks. Timers are kept ordered by deadline, one queue per clock, so
// a wake-up looks at the head of each queue only; the thread never waits on an overflowing
// timeout, however distant a deadline. The shared service lives for the process.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tasks {

class TimerService {
public:
    using Identifier = std::uint64_t;

    TimerService();
    ~TimerService();
    TimerService(const TimerService&) = delete;
    TimerService& operator=(const TimerService&) = delete;

    Identifier schedule(clockid_t clock, std::chrono::nanoseconds deadline, std::function<void()> callback);
    bool cancel(Identifier identifier);

    static TimerService& shared();

private:
    // The timers of one clock, earliest deadline first; the identifier breaks ties in the order
    // the timers were scheduled.
    using Key = std::pair<std::chrono::nanoseconds, Identifier>;
    struct Queue {
        clockid_t clock;
        std::map<Key, std::function<void()>> timers;
    };
    struct Location {
        clockid_t clock;
        Key key;
    };

    Queue& queueOf(clockid_t clock);
    void run();

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Queue> queues;
    std::unordered_map<Identifier, Location> locations;
    Identifier nextIdentifier = 1;
    bool stopping = false;
    std::thread thread;
};

// The current time of a POSIX clock.
std::chrono::nanoseconds clockNow(clockid_t clock);

} // namespace tasks
