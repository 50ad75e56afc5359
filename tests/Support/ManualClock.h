// A clock for tests that moves only when the test advances it.
//
// Copies share one time line. sleep(deadline) suspends until advance() reaches the deadline (a
// deadline already reached resumes at once) and ends with CancellationError when the sleeping
// task is cancelled. sleeperCount() lets a test wait until a task has gone to sleep before it
// advances the clock, so deadline tests need neither real time nor sleeps.
#pragma once

#include "Platform/Tasks/Cancellation.h"
#include "Platform/Tasks/Continuation.h"
#include "Platform/Tasks/Task.h"
#include "Support/WaitUntil.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace testing_support {

class ManualClock {
public:
    using Duration = std::chrono::nanoseconds;
    using Instant = std::chrono::time_point<ManualClock, Duration>;
    // chrono clock members, so Instant is a proper time point of this clock
    using rep = Duration::rep;
    using period = Duration::period;
    using duration = Duration;
    using time_point = Instant;
    static constexpr bool is_steady = true;

    Instant now() const
    {
        std::lock_guard guard(line->mutex);
        return line->now;
    }

    void advance(Duration by)
    {
        std::vector<std::shared_ptr<Sleeper>> due;
        {
            std::lock_guard guard(line->mutex);
            line->now += by;
            std::erase_if(line->sleepers, [&](const std::shared_ptr<Sleeper>& sleeper) {
                if (sleeper->deadline > line->now)
                    return false;
                due.push_back(sleeper);
                return true;
            });
        }
        for (const std::shared_ptr<Sleeper>& sleeper : due)
            sleeper->end(false);
    }

    std::size_t sleeperCount() const
    {
        std::lock_guard guard(line->mutex);
        return line->sleepers.size();
    }

    // Blocks the calling (plain) thread until `count` tasks are asleep on this clock.
    void waitForSleepers(std::size_t count) const
    {
        testing_support::waitUntil([&] { return sleeperCount() >= count; });
    }

    // The task keeps the time line alive: it may outlive this clock object.
    tasks::Task<void> sleep(Instant deadline, std::optional<Duration> = std::nullopt) const
    {
        return sleepOn(line, deadline);
    }

private:
    struct Sleeper {
        std::mutex mutex;
        Instant deadline;
        std::optional<tasks::Continuation<void>> continuation;
        bool over = false;
        bool cancelled = false;

        void end(bool byCancellation)
        {
            std::optional<tasks::Continuation<void>> resumed;
            {
                std::lock_guard guard(mutex);
                if (over)
                    return;
                over = true;
                cancelled = byCancellation;
                resumed.swap(continuation);
            }
            if (resumed)
                resumed->resume();
        }
    };

    struct TimeLine {
        std::mutex mutex;
        Instant now {};
        std::vector<std::shared_ptr<Sleeper>> sleepers;
    };

    static tasks::Task<void> sleepOn(std::shared_ptr<TimeLine> line, Instant deadline)
    {
        auto sleeper = std::make_shared<Sleeper>();
        sleeper->deadline = deadline;
        std::function<void()> onCancel = [line, sleeper] {
            {
                std::lock_guard guard(line->mutex);
                std::erase(line->sleepers, sleeper);
            }
            sleeper->end(true);
        };
        co_await tasks::withTaskCancellationHandler(suspend(line, sleeper), onCancel);
        if (sleeper->cancelled)
            throw tasks::CancellationError();
    }

    static tasks::Task<void> suspend(std::shared_ptr<TimeLine> line, std::shared_ptr<Sleeper> sleeper)
    {
        co_await tasks::withContinuation<void>([&](tasks::Continuation<void> continuation) {
            bool resumeNow = false;
            {
                std::scoped_lock guard(line->mutex, sleeper->mutex);
                if (sleeper->over || sleeper->deadline <= line->now) {
                    sleeper->over = true;
                    resumeNow = true;
                } else {
                    sleeper->continuation.emplace(std::move(continuation));
                    line->sleepers.push_back(sleeper);
                }
            }
            if (resumeNow)
                continuation.resume();
        });
    }

    std::shared_ptr<TimeLine> line = std::make_shared<TimeLine>();
};

} // namespace testing_support
