#include "Platform/Tasks/Cancellation.h"
#include "Platform/Tasks/Clock.h"
#include "Platform/Tasks/Spawn.h"
#include "Platform/Tasks/TimerService.h"
#include "Support/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using tasks::Task;

TEST(Sleep, CancellationEndsTheSleepWithCancellationError)
{
    std::atomic<bool> sleeping { false };
    auto body = [&]() -> Task<void> {
        sleeping = true;
        co_await tasks::sleepFor(24h);
    };
    tasks::TaskHandle<void> task = tasks::spawn(body());
    testing_support::waitUntil([&] { return sleeping.load(); });
    task.cancel();
    EXPECT_THROW(tasks::runBlocking(task.value()), tasks::CancellationError);

    auto alreadyCancelled = []() -> Task<void> { co_await tasks::sleepFor(24h); };
    auto cancelFirst = [alreadyCancelled]() -> Task<void> {
        co_await tasks::withTaskCancellationHandler([]() -> Task<void> { co_return; }(), [] {});
        co_await alreadyCancelled();
    };
    tasks::TaskHandle<void> second = tasks::spawn(cancelFirst());
    second.cancel();
    EXPECT_THROW(tasks::runBlocking(second.value()), tasks::CancellationError);
}

// The scheduler's state of a thread of this process: 'S' while it waits, 'R' while it runs.
char threadState(pid_t thread)
{
    std::ifstream stat("/proc/self/task/" + std::to_string(thread) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::size_t nameEnd = line.rfind(')');
    return nameEnd != std::string::npos && nameEnd + 2 < line.size() ? line[nameEnd + 2] : '?';
}

TEST(TimerService, ThreadWaitsWhileOnlyDistantTimersArePending)
{
    tasks::TimerService timers;
    std::atomic<pid_t> timerThread { 0 };
    timers.schedule(CLOCK_MONOTONIC, tasks::clockNow(CLOCK_MONOTONIC), [&] { timerThread = gettid(); });
    for (int poll = 0; timerThread.load() == 0 && poll < 10'000'000; ++poll)
        std::this_thread::yield();
    ASSERT_NE(timerThread.load(), 0);
    timers.schedule(CLOCK_BOOTTIME, std::chrono::nanoseconds::max(), [] {});
    int waitingInARow = 0;
    for (int poll = 0; poll < 100'000 && waitingInARow < 5; ++poll) {
        waitingInARow = threadState(timerThread.load()) == 'S' ? waitingInARow + 1 : 0;
        std::this_thread::yield();
    }
    EXPECT_EQ(waitingInARow, 5) << "the timer thread keeps running";
}

TEST(TimerService, CancelledTimerNeverFiresAndOverdueTimersFireMostOverdueFirstAcrossClocks)
{
    tasks::TimerService timers;
    std::mutex mutex;
    std::vector<int> order;
    std::atomic<int> fired { 0 };
    auto record = [&](int value) {
        return [&, value] {
            std::lock_guard guard(mutex);
            order.push_back(value);
            fired.fetch_add(1);
        };
    };
    // Hold the timer thread inside a callback while the others are scheduled.
    std::atomic<bool> holding { false };
    std::atomic<bool> release { false };
    timers.schedule(CLOCK_MONOTONIC, tasks::clockNow(CLOCK_MONOTONIC), [&] {
        holding = true;
        testing_support::waitUntil([&] { return release.load(); });
    });
    testing_support::waitUntil([&] { return holding.load(); });
    auto cancelled = timers.schedule(CLOCK_MONOTONIC, tasks::clockNow(CLOCK_MONOTONIC) - 1s, record(100));
    EXPECT_TRUE(timers.cancel(cancelled));
    EXPECT_FALSE(timers.cancel(cancelled));
    timers.schedule(CLOCK_MONOTONIC, tasks::clockNow(CLOCK_MONOTONIC) - 5ms, record(2));
    timers.schedule(CLOCK_BOOTTIME, tasks::clockNow(CLOCK_BOOTTIME) - 10ms, record(1));
    timers.schedule(CLOCK_MONOTONIC, tasks::clockNow(CLOCK_MONOTONIC) - 1ms, record(3));
    release = true;
    testing_support::waitUntil([&] { return fired.load() >= 3; });
    std::lock_guard guard(mutex);
    EXPECT_EQ(order, (std::vector<int> { 1, 2, 3 }));
}

} // namespace
