// A point in time on the uptime clock that dispatch deadlines use (it stops while the machine
// sleeps). Values are plain nanosecond counts; adding a duration saturates instead of wrapping,
// so "now plus a long time" is still a deadline in the future.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <limits>

namespace dispatch {

class DispatchTime {
public:
    explicit constexpr DispatchTime(std::uint64_t uptimeNanoseconds)
        : nanoseconds(uptimeNanoseconds)
    {
    }

    static DispatchTime now()
    {
        timespec now {};
        clock_gettime(CLOCK_MONOTONIC, &now);
        return DispatchTime(static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u
            + static_cast<std::uint64_t>(now.tv_nsec));
    }

    static constexpr DispatchTime distantFuture()
    {
        return DispatchTime(std::numeric_limits<std::uint64_t>::max());
    }

    constexpr std::uint64_t uptimeNanoseconds() const { return nanoseconds; }

    friend constexpr DispatchTime operator+(DispatchTime time, std::chrono::nanoseconds interval)
    {
        std::uint64_t result;
        if (interval.count() >= 0) {
            if (__builtin_add_overflow(
                    time.nanoseconds, static_cast<std::uint64_t>(interval.count()), &result))
                result = std::numeric_limits<std::uint64_t>::max();
        } else {
            std::uint64_t magnitude = static_cast<std::uint64_t>(-(interval.count() + 1)) + 1;
            result = time.nanoseconds > magnitude ? time.nanoseconds - magnitude : 0;
        }
        return DispatchTime(result);
    }

    friend constexpr auto operator<=>(DispatchTime, DispatchTime) = default;

private:
    std::uint64_t nanoseconds;
};

} // namespace dispatch
