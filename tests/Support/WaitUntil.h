// Waits on the calling thread until `condition` holds, yielding between looks, for tasks or
// threads the test cannot be told about directly. The wait has a limit far beyond any honest
// wait: past it the test fails with an error instead of hanging until the suite's timeout.
#pragma once

#include <chrono>
#include <stdexcept>
#include <thread>

namespace testing_support {

inline constexpr std::chrono::seconds waitLimit { 20 };

template <typename Condition> void waitUntil(Condition condition)
{
    auto giveUp = std::chrono::steady_clock::now() + waitLimit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp)
            throw std::runtime_error("a condition the test waits for never came true");
        std::this_thread::yield();
    }
}

} // namespace testing_support
