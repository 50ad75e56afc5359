#include "VLFoundation/AsyncSemaphore.h"

#include "Platform/Tasks/Cancellation.h"
#include "Platform/Tasks/Spawn.h"
#include "Support/ManualExecutor.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using tasks::Task;
using testing_support::ManualExecutor;

using Events = std::vector<std::string>;

Task<void> takePermit(vl::AsyncSemaphore& semaphore, Events& events, std::string name)
{
    co_await semaphore.wait();
    events.push_back(name);
}

// Permits freed before anyone waits are taken without suspending; a cancelled waiter keeps
// waiting until it gets a permit.
TEST(AsyncSemaphore, SignalWithoutWaitersFreesAPermitAndACancelledWaiterWaitsOnForOne)
{
    ManualExecutor executor;
    vl::AsyncSemaphore semaphore(0);
    Events events;
    semaphore.signal();
    semaphore.signal();
    tasks::spawn(takePermit(semaphore, events, "first"), executor);
    tasks::spawn(takePermit(semaphore, events, "second"), executor);
    // Each task runs in the one job that starts it: neither suspends.
    EXPECT_EQ(executor.runUntilIdle(), 2u);
    tasks::TaskHandle<void> waiter = tasks::spawn(takePermit(semaphore, events, "admitted"), executor);
    executor.runUntilIdle();
    waiter.cancel();
    executor.runUntilIdle();
    EXPECT_EQ(events, (Events { "first", "second" }));
    semaphore.signal();
    executor.runUntilIdle();
    EXPECT_EQ(events, (Events { "first", "second", "admitted" }));
}

TEST(AsyncSemaphoreDeathTest, NegativeInitialValueIsFatal)
{
    EXPECT_DEATH(vl::AsyncSemaphore(-1), "VLFoundation/AsyncSemaphore");
}

} // namespace
