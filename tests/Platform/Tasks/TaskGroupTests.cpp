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

// Waits (not cancellably) at the gate and counts its task's cancellation when it happens.
Task<int> waitAndReport(Gate& gate, std::atomic<int>& cancelledCount)
{
    co_await tasks::withTaskCancellationHandler(gate.passed(), [&] { cancelledCount.fetch_add(1); });
    co_return 0;
}

Task<int> valueAfterGate(Gate& gate, int value)
{
    co_await gate.passed();
    co_return value;
}

Task<int> finishAfterGate(Gate& gate, std::atomic<int>& cancelledCount, std::atomic<bool>& finished)
{
    co_await waitAndReport(gate, cancelledCount);
    finished = true;
    co_return 0;
}

Task<void> countAfterGate(Gate& gate, std::atomic<int>& cancelledCount, std::atomic<int>& finished)
{
    co_await waitAndReport(gate, cancelledCount);
    finished.fetch_add(1);
}

void waitUntil(const std::atomic<int>& counter, int value)
{
    testing_support::waitUntil([&] { return !(counter.load() < value); });
}

TEST(TaskGroup, NextReturnsResultsInCompletionOrderThenNothing)
{
    Gate second;
    auto body = [&](tasks::TaskGroup<int>& group) -> Task<std::vector<int>> {
        group.addTask(valueAfterGate(second, 2));
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

TEST(TaskGroup, FirstFailureCancelsTheOthersAndIsRethrown)
{
    Gate gate;
    std::atomic<int> cancelledCount { 0 };
    auto body = [&](tasks::TaskGroup<int>& group) -> Task<void> {
        group.addTask(waitAndReport(gate, cancelledCount));
        group.addTask(waitAndReport(gate, cancelledCount));
        group.addTask([]() -> Task<int> {
            throw std::runtime_error("first");
            co_return 0;
        }());
        co_await group.waitForAll();
    };
    auto run = [&]() -> Task<void> { co_await tasks::withThrowingTaskGroup<int>(body); };
    tasks::TaskHandle<void> task = tasks::spawn(run());
    waitUntil(cancelledCount, 2);
    gate.open();
    try {
        tasks::runBlocking(task.value());
        FAIL() << "the group did not rethrow";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "first");
    }
    EXPECT_EQ(cancelledCount.load(), 2);
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
    Gate gate;
    std::atomic<int> cancelledCount { 0 };
    auto body = [&](tasks::TaskGroup<int>& group) -> Task<void> {
        group.addTask(waitAndReport(gate, cancelledCount));
        group.addTask(waitAndReport(gate, cancelledCount));
        co_await group.waitForAll();
    };
    auto run = [&]() -> Task<void> { co_await tasks::withThrowingTaskGroup<int>(body); };
    tasks::TaskHandle<void> task = tasks::spawn(run());
    gate.waitForWaiters(2);
    task.cancel();
    waitUntil(cancelledCount, 2);
    gate.open();
    tasks::runBlocking(task.value());
    EXPECT_EQ(cancelledCount.load(), 2);
}

TEST(TaskGroup, BodyFailureCancelsChildrenAndWaitsForThemBeforeRethrowing)
{
    Gate gate;
    std::atomic<int> cancelledCount { 0 };
    std::atomic<bool> childFinished { false };
    auto body = [&](tasks::TaskGroup<int>& group) -> Task<void> {
        group.addTask(finishAfterGate(gate, cancelledCount, childFinished));
        throw std::logic_error("body failed");
        co_return;
    };
    auto run = [&]() -> Task<void> { co_await tasks::withThrowingTaskGroup<int>(body); };
    tasks::TaskHandle<void> task = tasks::spawn(run());
    waitUntil(cancelledCount, 1);
    gate.open();
    EXPECT_THROW(tasks::runBlocking(task.value()), std::logic_error);
    EXPECT_TRUE(childFinished.load());
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
    Gate gate;
    std::atomic<int> cancelledCount { 0 };
    std::atomic<int> finished { 0 };
    auto body = [&](tasks::DiscardingTaskGroup& group) -> Task<void> {
        for (int index = 0; index < 3; ++index)
            group.addTask(countAfterGate(gate, cancelledCount, finished));
        group.addTask([]() -> Task<void> {
            throw std::out_of_range("child failed");
            co_return;
        }());
        co_return;
    };
    auto run = [&]() -> Task<void> { co_await tasks::withThrowingDiscardingTaskGroup(body); };
    tasks::TaskHandle<void> task = tasks::spawn(run());
    waitUntil(cancelledCount, 3);
    gate.open();
    EXPECT_THROW(tasks::runBlocking(task.value()), std::out_of_range);
    EXPECT_EQ(finished.load(), 3);
}

} // namespace
