#include "Platform/Tasks/SerialExecutor.h"
#include "Platform/Tasks/Spawn.h"
#include "Platform/Tasks/ThreadPoolExecutor.h"
#include "Support/Gate.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>

namespace {

using testing_support::Gate;

// A task parked at a gate is resumed by another thread (which enqueues it) while the test waits
// for the task to end and then destroys the executor at once: the resuming thread must be done
// with the executor by then. The interleaving cannot be forced, so it is run many times; the
// sanitizer builds see any late touch of the destroyed executor.
TEST(Executor, OwnerMayDestroyItAsSoonAsItsLastTaskHasEnded)
{
    std::function<std::unique_ptr<tasks::Executor>()> makers[] = {
        [] { return std::make_unique<tasks::SerialExecutor>(); },
        [] { return std::make_unique<tasks::ThreadPoolExecutor>(2); },
    };
    for (auto& make : makers) {
        for (int round = 0; round < 200; ++round) {
            std::unique_ptr<tasks::Executor> executor = make();
            Gate gate;
            tasks::TaskHandle<void> task = tasks::spawn(gate.passed(), *executor);
            gate.waitForWaiters(1);
            std::thread resumer([&gate] { gate.open(); });
            tasks::runBlocking(task.value());
            executor.reset();
            resumer.join();
        }
    }
}

} // namespace
