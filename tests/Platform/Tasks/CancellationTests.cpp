#include "Platform/Tasks/Cancellation.h"
#include "Platform/Tasks/Spawn.h"
#include "Support/Gate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace {

using tasks::Task;
using testing_support::Gate;

TEST(Cancellation, InACancelledTaskTheHandlerRunsAtOnceAndCheckCancellationThrows)
{
    EXPECT_FALSE(tasks::isCancelled());
    EXPECT_NO_THROW(tasks::checkCancellation());
    Gate start;
    std::vector<std::string> events;
    auto body = [&]() -> Task<void> {
        co_await start.passed();
        events.push_back(tasks::isCancelled() ? "cancelled" : "running");
        auto operation = [&]() -> Task<void> {
            events.push_back("operation");
            co_return;
        };
        co_await tasks::withTaskCancellationHandler(operation(), [&] { events.push_back("handler"); });
        tasks::checkCancellation();
        events.push_back("not thrown");
    };
    tasks::TaskHandle<void> task = tasks::spawn(body());
    start.waitForWaiters(1);
    task.cancel();
    EXPECT_TRUE(task.isCancelled());
    start.open();
    EXPECT_THROW(tasks::runBlocking(task.value()), tasks::CancellationError);
    EXPECT_EQ(events, (std::vector<std::string> { "cancelled", "handler", "operation" }));
}

TEST(Cancellation, HandlerRunsWhileTheOperationWaitsAndNeverAfterItFinished)
{
    Gate release;
    std::atomic<int> handlerRuns { 0 };
    auto body = [&]() -> Task<bool> {
        co_await tasks::withTaskCancellationHandler(release.passed(), [&] {
            handlerRuns.fetch_add(1);
            release.open();
        });
        co_return tasks::isCancelled();
    };
    tasks::TaskHandle<bool> task = tasks::spawn(body());
    release.waitForWaiters(1);
    task.cancel();
    EXPECT_TRUE(tasks::runBlocking(task.value()));
    EXPECT_EQ(handlerRuns.load(), 1);

    auto finished = [&]() -> Task<void> {
        co_await tasks::withTaskCancellationHandler(
            []() -> Task<void> { co_return; }(), [&] { handlerRuns.fetch_add(1); });
    };
    Gate hold;
    auto finishesThenWaits = [&]() -> Task<void> {
        co_await finished();
        co_await hold.passed();
    };
    tasks::TaskHandle<void> second = tasks::spawn(finishesThenWaits());
    hold.waitForWaiters(1);
    second.cancel();
    hold.open();
    tasks::runBlocking(second.value());
    EXPECT_EQ(handlerRuns.load(), 1);
}

} // namespace
