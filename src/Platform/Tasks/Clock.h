// Clocks that tasks can sleep on.
//
// SuspendingClock counts only while the machine is awake (CLOCK_MONOTONIC, the uptime that
// dispatch times use); ContinuousClock also counts while it sleeps (CLOCK_BOOTTIME). Both are
// chrono clocks with nanosecond resolution and offer sleep(until, tolerance): the running task
// suspends until the deadline (a deadline in the past still suspends once and resumes at once);
// cancelling the task ends the sleep with CancellationError. The tolerance is accepted as a hint
// that a deadline may fire late by up to that much; these clocks fire as close to it as they can.
// Any type with the members that the Clock concept names can stand in for them (tests use a
// manual clock); the task that sleep returns must not depend on the clock object staying alive.
#pragma once

#include "Platform/Tasks/Task.h"

#include <chrono>
#include <concepts>
#include <ctime>
#include <optional>

namespace tasks {

// Suspends the running task until `deadline` of the POSIX clock `clock`.
Task<void> sleepUntil(clockid_t clock, std::chrono::nanoseconds deadline);

template <clockid_t Id> class PosixClock {
public:
    using rep = std::chrono::nanoseconds::rep;
    using period = std::chrono::nanoseconds::period;
    using duration = std::chrono::nanoseconds;
    using time_point = std::chrono::time_point<PosixClock>;
    using Instant = time_point;
    using Duration = duration;
    static constexpr bool is_steady = true;

    static time_point now()
    {
        timespec now {};
        clock_gettime(Id, &now);
        return time_point(std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec));
    }

    Task<void> sleep(Instant deadline, std::optional<Duration> tolerance = std::nullopt) const
    {
        (void)tolerance;
        return sleepUntil(Id, deadline.time_since_epoch());
    }
};

using SuspendingClock = PosixClock<CLOCK_MONOTONIC>;
using ContinuousClock = PosixClock<CLOCK_BOOTTIME>;

template <typename C>
concept Clock
    = requires(const C& clock, typename C::Instant instant, std::optional<typename C::Duration> tolerance)
{
    {
        clock.now()
        } -> std::convertible_to<typename C::Instant>;
    {
        clock.sleep(instant, tolerance)
        } -> std::same_as<Task<void>>;
};

// Suspends the running task for `duration` of the suspending clock.
Task<void> sleepFor(std::chrono::nanoseconds duration);

} // namespace tasks
