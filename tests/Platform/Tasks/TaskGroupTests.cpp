#include "Platform/Tasks/Cancellation.h"
#include "Platform/Tasks/Spawn.h"
#include "Platform/Tasks/TaskGroup.h"
#include "Platform/Tasks/TaskLocal.h"
#include "Support/Gate.h"
#include "Support/WaitUntil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using tasks::Task;
using testing_support::Gate;

tasks::TaskLocal<int> depth { 0 };

// Children that wait (not cancellably) at one gate, counting their tasks' cancellations when they
// happen and their own ends after the gate opened.
struct WaitingChildren {
    Gate gate;
    std::atomic<int> cancelledCount { 0 };
    std::atomic<int> finished { 0 };

    Task<int> child()
    {
        co_await tasks::withTaskCancellationHandler(gate.passed(), [this] { cancelledCount.fetch_add(1); });
        finished.fetch_add(1);
        co_return 0;
    }
};

Task<void> discardingValue(Task<int> task)
{
    (void)co_await std::move(task);
}

void waitUntil(const std::atomic<int>& counter, int value)
{
    testing_support::waitUntil([&] { return counter.load() >= value; });
}

TEST(TaskGroup, NextReturnsResultsInCompletionOrderThenNothing)
{
    Gate second;
    auto body = [&](tasks::TaskGroup<int>& group) -> Task<std::vector<int>> {
        group.addTask([](Gate& gate) -> Task<int> {
            co_await gate.passed();
            co_return 2;
        }(second));
        group.addTask([]() -> Task<int> { co_return 1; }());
        std::vector<int> seen;
        seen.push_back(*co_await group.next());
        second.open();
        seen.push_back(*co_await group.next());
        std::optional<int> none = co_await group.next();
        EXPECT_FALSE(none.has_value());
        co_return seen;
    };
    auto run
        = [&]() -> Task<std::vector<int>> { co_return co_await tasks::withThrowingTaskGroup<int>(body); };
    EXPECT_EQ(tasks::runBlocking(run()), (std::vector<int> { 1, 2 }));
}

// Whether a child or the group's body fails first, the other children are cancelled, the group
// waits for them to finish and then rethrows that first failure.
TEST(TaskGroup, AFailureCancelsTheOtherChildrenAndIsRethrownOnceTheyHaveFinished)
{
    for (bool bodyFails : { false, true }) {
        SCOPED_TRACE(bodyFails ? "the body fails" : "a child fails");
        WaitingChildren waiting;
        auto body = [&](tasks::TaskGroup<int>& group) -> Task<void> {
            group.addTask(waiting.child());
            group.addTask(waiting.child());
            if (bodyFails)
                throw std::runtime_error("first");
            group.addTask([]() -> Task<int> {
                throw std::runtime_error("first");
                co_return 0;
            }());
            co_await group.waitForAll();
        };
        std::atomic<int> finishedWhenTheGroupEnded { -1 };
        auto run = [&]() -> Task<void> {
            try {
                co_await tasks::withThrowingTaskGroup<int>(body);
            } catch (...) {
                finishedWhenTheGroupEnded = waiting.finished.load();
                throw;
            }
        };
        tasks::TaskHandle<void> task = tasks::spawn(run());
        waitUntil(waiting.cancelledCount, 2);
        waiting.gate.open();
        try {
            tasks::runBlocking(task.value());
            ADD_FAILURE() << "the group did not rethrow";
        } catch (const std::runtime_error& error) {
            EXPECT_STREQ(error.what(), "first");
        }
        EXPECT_EQ(waiting.cancelledCount.load(), 2);
        EXPECT_EQ(finishedWhenTheGroupEnded.load(), 2);
    }
}

TEST(TaskGroup, ChildrenInheritTaskLocalsAndSiblingsDoNotSeeEachOthersBindings)
{
    auto child = [](int value) -> Task<int> {
        co_return co_await depth.withValue(value, []() -> Task<int> { co_return depth.get(); }());
    };
    auto reader = []() -> Task<int> { co_return depth.get(); };
    auto body = [&](tasks::TaskGroup<int>& group) -> Task<std::vector<int>> {
        group.addTask(child(7));
        group.addTask(child(8));
        group.addTask(reader());
        std::vector<int> seen;
        while (std::optional<int> value = co_await group.next())
            seen.push_back(*value);
        std::sort(seen.begin(), seen.end());
        seen.push_back(depth.get());
        co_return seen;
    };
    auto run = [&]() -> Task<std::vector<int>> {
        co_return co_await depth.withValue(5, tasks::withThrowingTaskGroup<int>(body));
    };
    EXPECT_EQ(tasks::runBlocking(run()), (std::vector<int> { 5, 7, 8, 5 }));
}

TEST(TaskGroup, CancellingTheGroupsTaskCancelsItsChildren)
{
    WaitingChildren waiting;
    auto body = [&](tasks::TaskGroup<int>& group) -> Task<void> {
        group.addTask(waiting.child());
        group.addTask(waiting.child());
        co_await group.waitForAll();
    };
    auto run = [&]() -> Task<void> { co_await tasks::withThrowingTaskGroup<int>(body); };
    tasks::TaskHandle<void> task = tasks::spawn(run());
    waiting.gate.waitForWaiters(2);
    task.cancel();
    waitUntil(waiting.cancelledCount, 2);
    waiting.gate.open();
    tasks::runBlocking(task.value());
    EXPECT_EQ(waiting.cancelledCount.load(), 2);
}

TEST(TaskGroup, AChildAddedToAnAlreadyCancelledGroupStartsCancelled)
{
    auto body = [](tasks::TaskGroup<int>& group) -> Task<int> {
        group.cancelAll();
        group.addTask([]() -> Task<int> { co_return tasks::isCancelled() ? 1 : 0; }());
        co_return (co_await group.next()).value_or(-1);
    };
    auto run = [&]() -> Task<int> { co_return co_await tasks::withThrowingTaskGroup<int>(body); };
    EXPECT_EQ(tasks::runBlocking(run()), 1);
}

TEST(DiscardingTaskGroup, FirstFailingChildCancelsTheOthersAndItsErrorIsRethrownAtTheEnd)
{
    WaitingChildren waiting;
    auto body = [&](tasks::DiscardingTaskGroup& group) -> Task<void> {
        for (int index = 0; index < 3; ++index)
            group.addTask(discardingValue(waiting.child()));
        group.addTask([]() -> Task<void> {
            throw std::out_of_range("child failed");
            co_return;
        }());
        co_return;
    };
    auto run = [&]() -> Task<void> { co_await tasks::withThrowingDiscardingTaskGroup(body); };
    tasks::TaskHandle<void> task = tasks::spawn(run());
    waitUntil(waiting.cancelledCount, 3);
    waiting.gate.open();
    EXPECT_THROW(tasks::runBlocking(task.value()), std::out_of_range);
    EXPECT_EQ(waiting.finished.load(), 3);
}

} // namespace
