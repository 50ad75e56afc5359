#include "VLFoundation/AsyncProtected.h"
#include "VLFoundation/AsyncSemaphore.h"
#include "VLFoundation/Protected.h"

#include "Platform/Tasks/Cancellation.h"
#include "Platform/Tasks/SerialExecutor.h"
#include "Platform/Tasks/Spawn.h"
#include "Support/Gate.h"
#include "Support/ManualExecutor.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using tasks::Task;
using testing_support::Gate;
using testing_support::ManualExecutor;

using Events = std::vector<std::string>;

TEST(Protected, FailingBodyKeepsItsChangesAndReleasesTheLockAndUnwrapMovesTheValueOut)
{
    vl::Protected<std::vector<int>> cell(std::vector<int> { 1 });
    EXPECT_THROW(cell.withLock([](std::vector<int>& value) {
        value.push_back(2);
        throw std::runtime_error("body failed");
    }),
        std::runtime_error);
    // Unwrapping takes the lock too, and moves the value out.
    EXPECT_EQ(cell.unwrap(), (std::vector<int> { 1, 2 }));
}

TEST(Protected, SerialisesBodiesFromManyThreads)
{
    vl::Protected<long> counter(0);
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 4; ++thread)
        threads.emplace_back([&] {
            for (int index = 0; index < 10000; ++index)
                counter.withLock([](long& value) { ++value; });
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(counter.withLock([](long& value) { return value; }), 40000);
}

TEST(ProtectedDeathTest, UseAfterUnwrapIsFatal)
{
    EXPECT_DEATH(
        {
            vl::Protected<int> cell(1);
            (void)cell.unwrap();
            cell.withLock([](int&) {});
        },
        "VLFoundation/Protected: Fatal error: Protected value has been unwrapped");
    EXPECT_DEATH(
        {
            vl::Protected<int> cell(vl::Protected<int>::Unsafe { 1 });
            (void)cell.unwrap();
            (void)cell.unwrap();
        },
        "Protected value has been unwrapped");
}

// Appends `name` to the guarded list on entry, suspends at the gate, and appends again on exit.
Task<void> holdCell(vl::AsyncProtected<Events>& cell, std::string name, Gate& gate)
{
    auto body = [&name, &gate](Events& events) -> Task<void> {
        events.push_back(name + " in");
        co_await gate.passed();
        events.push_back(name + " out");
    };
    co_await cell.withLock(body);
}

Task<Events> snapshot(vl::AsyncProtected<Events>& cell)
{
    co_return co_await cell.withLock([](Events& events) -> Task<Events> { co_return events; });
}

// Holders are admitted one at a time in arrival order; a permit given back while others wait goes
// to the first of them, so a newcomer cannot slip in between.
TEST(AsyncProtected, BodiesThatSuspendNeverOverlapAndEnterInArrivalOrder)
{
    ManualExecutor executor;
    vl::AsyncProtected<Events> cell { Events {} };
    Gate first;
    Gate second;
    Gate third;
    Gate newcomer;
    tasks::spawn(holdCell(cell, "first", first), executor);
    tasks::spawn(holdCell(cell, "second", second), executor);
    tasks::spawn(holdCell(cell, "third", third), executor);
    executor.runUntilIdle();
    first.open();
    executor.runUntilIdle();
    newcomer.open();
    tasks::spawn(holdCell(cell, "newcomer", newcomer), executor);
    executor.runUntilIdle();
    second.open();
    third.open();
    executor.runUntilIdle();
    tasks::TaskHandle<Events> read = tasks::spawn(snapshot(cell), executor);
    executor.runUntilIdle();
    EXPECT_EQ(tasks::runBlocking(read.value()),
        (Events { "first in", "first out", "second in", "second out", "third in", "third out", "newcomer in",
            "newcomer out" }));
}

Task<int> failAfterChanging(vl::AsyncProtected<int>& cell)
{
    co_return co_await cell.withLock([](int& value) -> Task<int> {
        value = 5;
        throw std::domain_error("body failed");
        co_return 0;
    });
}

Task<int> readInt(vl::AsyncProtected<int>& cell)
{
    co_return co_await cell.withLock([](int& value) -> Task<int> { co_return value; });
}

TEST(AsyncProtected, FailingBodyPassesItsErrorOnAndGivesThePermitBackAndUnwrapMovesTheValueOut)
{
    vl::AsyncProtected<int> cell(1);
    EXPECT_THROW(tasks::runBlocking(failAfterChanging(cell)), std::domain_error);
    EXPECT_EQ(tasks::runBlocking(readInt(cell)), 5);

    vl::AsyncProtected<std::unique_ptr<int>> moveOnly(std::make_unique<int>(3));
    EXPECT_EQ(*tasks::runBlocking(moveOnly.unwrap()), 3);
}

struct ExecutorSightings {
    bool bodyStarted = false;
    bool bodyAfterSuspension = false;
    bool callerAfterReturn = false;
};

Task<ExecutorSightings> useIsolated(
    vl::AsyncProtected<int>& cell, tasks::SerialExecutor& isolation, Gate& gate)
{
    ExecutorSightings sightings;
    auto body = [&sightings, &gate](tasks::Executor& executor, int& value) -> Task<int> {
        auto& serial = static_cast<tasks::SerialExecutor&>(executor);
        sightings.bodyStarted = serial.isCurrent();
        co_await gate.passed();
        sightings.bodyAfterSuspension = serial.isCurrent();
        co_return ++value;
    };
    int result = co_await cell.withLock(isolation, body);
    sightings.callerAfterReturn = isolation.isCurrent();
    EXPECT_EQ(result, 2);
    co_return sightings;
}

TEST(AsyncProtected, ExecutorBoundFormRunsTheBodyAndReturnsOnThatExecutor)
{
    tasks::SerialExecutor isolation;
    vl::AsyncProtected<int> cell(1);
    Gate gate;
    // Called from the isolation's own executor, as its owner calls it.
    tasks::TaskHandle<ExecutorSightings> user = tasks::spawn(useIsolated(cell, isolation, gate), isolation);
    gate.waitForWaiters(1);
    // Opened from this thread: the body resumes through its executor, not here.
    gate.open();
    ExecutorSightings sightings = tasks::runBlocking(user.value());
    EXPECT_TRUE(sightings.bodyStarted);
    EXPECT_TRUE(sightings.bodyAfterSuspension);
    EXPECT_TRUE(sightings.callerAfterReturn);
    EXPECT_FALSE(isolation.isCurrent());
}

TEST(AsyncProtectedDeathTest, UseAfterUnwrapIsFatal)
{
    auto unwrapThen = [](auto use) {
        vl::AsyncProtected<int> cell(1);
        (void)tasks::runBlocking(cell.unwrap());
        use(cell);
    };
    EXPECT_DEATH(unwrapThen([](auto& cell) { (void)tasks::runBlocking(readInt(cell)); }),
        "VLFoundation/AsyncProtected: Fatal error: Protected value has been unwrapped");
    EXPECT_DEATH(unwrapThen([](auto& cell) { (void)tasks::runBlocking(cell.unwrap()); }),
        "Protected value has been unwrapped");
}

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
