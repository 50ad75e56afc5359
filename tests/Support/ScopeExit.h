// Runs a function when its scope ends, however it ends: cleanup that a failing assertion (which
// returns from the test early) must not skip, such as detaching a loop device.
#pragma once

#include <utility>

namespace testing_support {

template <typename Cleanup> class ScopeExit {
public:
    explicit ScopeExit(Cleanup cleanup)
        : cleanup(std::move(cleanup))
    {
    }
    ~ScopeExit() { cleanup(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    Cleanup cleanup;
};

} // namespace testing_support
