#include "Platform/Tasks/Cancellation.h"
#include "Platform/Tasks/Spawn.h"
#include "Platform/Tasks/TaskLocal.h"
#include "Support/Gate.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

using tasks::Task;
using testing_support::Gate;

tasks::TaskLocal<std::string> requestName { "none" };

TEST(Spawn, EveryAwaiterReceivesTheOutcome)
{
    Gate release;
    auto body = [&]() -> Task<int> {
        co_await release.passed();
        co_return 3;
    };
    tasks::TaskHandle<int> task = tasks::spawn(body());
    auto awaiter = [](tasks::TaskHandle<int> task) -> Task<int> { co_return co_await task.value() * 10; };
    tasks::TaskHandle<int> first = tasks::spawn(awaiter(task));
    tasks::TaskHandle<int> second = tasks::spawn(awaiter(task));
    release.open();
    EXPECT_EQ(tasks::runBlocking(first.value()), 30);
    EXPECT_EQ(tasks::runBlocking(second.value()), 30);
    EXPECT_EQ(tasks::runBlocking(task.value()), 3);
}

TEST(Spawn, ErrorsReachEveryAwaiter)
{
    auto body = []() -> Task<void> {
        throw std::invalid_argument("bad");
        co_return;
    };
    tasks::TaskHandle<void> task = tasks::spawn(body());
    EXPECT_THROW(tasks::runBlocking(task.value()), std::invalid_argument);
    tasks::Result<void> result = tasks::runBlocking(task.result());
    EXPECT_FALSE(result.isSuccess());
}

TEST(Spawn, SpawnedTasksInheritTaskLocalsAndDetachedOnesDoNot)
{
    auto read = []() -> Task<std::string> { co_return requestName.get(); };
    auto outer = [read]() -> Task<std::string> {
        co_return co_await requestName.withValue("outer", [read]() -> Task<std::string> {
            std::string inherited = co_await tasks::spawn(read()).value();
            std::string detached = co_await tasks::spawnDetached(read()).value();
            co_return inherited + "/" + detached;
        }());
    };
    EXPECT_EQ(tasks::runBlocking(outer()), "outer/none");
}

TEST(Spawn, CancellingTheSpawnerDoesNotCancelTheSpawnedTask)
{
    Gate hold;
    Gate release;
    std::optional<tasks::TaskHandle<bool>> inner;
    auto innerBody = [&]() -> Task<bool> {
        co_await release.passed();
        co_return tasks::isCancelled();
    };
    auto outerBody = [&]() -> Task<bool> {
        inner = tasks::spawn(innerBody());
        co_await hold.passed();
        co_return tasks::isCancelled();
    };
    tasks::TaskHandle<bool> outer = tasks::spawn(outerBody());
    hold.waitForWaiters(1);
    outer.cancel();
    hold.open();
    EXPECT_TRUE(tasks::runBlocking(outer.value()));
    release.open();
    EXPECT_FALSE(tasks::runBlocking(inner->value()));
}

void blockInsideATask()
{
    auto blocking = []() -> Task<int> { co_return tasks::runBlocking([]() -> Task<int> { co_return 1; }()); };
    (void)tasks::runBlocking(blocking());
}

TEST(SpawnDeathTest, RunBlockingInsideATaskIsFatal)
{
    EXPECT_DEATH(
        blockInsideATask(), "Platform/Tasks/Spawn: Fatal error: runBlocking called from inside a task");
}

} // namespace
