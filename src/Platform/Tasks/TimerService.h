// One thread that fires callbacks at deadlines of the monotonic or the boot-time clock.
//
// schedule returns an identifier that cancel takes; cancel returns true when the callback had not
// started and never will. Callbacks run on the timer thread, one at a time, outside the service's
// lock, and must be short (they resume continuations). The shared service lives for the process.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

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
    struct Entry {
        clockid_t clock;
        std::chrono::nanoseconds deadline;
        std::function<void()> callback;
    };

    void run();

    std::mutex mutex;
    std::condition_variable changed;
    std::map<Identifier, Entry> entries;
    Identifier nextIdentifier = 1;
    bool stopping = false;
    std::thread thread;
};

// The current time of a POSIX clock.
std::chrono::nanoseconds clockNow(clockid_t clock);

} // namespace tasks
