// Deadline arithmetic that saturates instead of overflowing.
//
// A duration added to a point in time (or to a clock reading in nanoseconds) gives the largest
// or smallest representable value when the exact sum does not fit, so "now plus the longest
// wait" stays a deadline in the far future instead of wrapping into the past. Every place that
// turns a duration into a deadline goes through these functions.
#pragma once

#include <chrono>
#include <limits>

namespace tasks {

constexpr std::chrono::nanoseconds saturatingAdd(
    std::chrono::nanoseconds time, std::chrono::nanoseconds duration)
{
    std::chrono::nanoseconds::rep sum;
    if (!__builtin_add_overflow(time.count(), duration.count(), &sum))
        return std::chrono::nanoseconds(sum);
    return duration.count() > 0 ? std::chrono::nanoseconds::max() : std::chrono::nanoseconds::min();
}

template <typename Clock>
constexpr std::chrono::time_point<Clock, std::chrono::nanoseconds> saturatingAdd(
    std::chrono::time_point<Clock, std::chrono::nanoseconds> time, std::chrono::nanoseconds duration)
{
    return std::chrono::time_point<Clock, std::chrono::nanoseconds>(
        saturatingAdd(time.time_since_epoch(), duration));
}

} // namespace tasks
