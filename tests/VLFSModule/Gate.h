// A point at which one task waits until the test opens it; with testing_support::ManualExecutor
// it turns an interleaving into explicit steps.
#pragma once

#include "Platform/Tasks/Continuation.h"
#include "Platform/Tasks/Task.h"

#include <optional>

namespace fsmodule_testing {

class Gate {
public:
    tasks::Task<void> pass()
    {
        co_await tasks::withContinuation<void>(
            [this](tasks::Continuation<void> continuation) { waiting.emplace(std::move(continuation)); });
    }
    bool hasWaiter() const { return waiting.has_value(); }
    void open()
    {
        tasks::Continuation<void> continuation = std::move(*waiting);
        waiting.reset();
        continuation.resume();
    }

private:
    std::optional<tasks::Continuation<void>> waiting;
};

} // namespace fsmodule_testing
