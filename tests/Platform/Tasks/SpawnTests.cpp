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

TEST(Spawn, EveryAwaiterReceivesTheValueOrTheError)
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

    auto failing = []() -> Task<int> {
        throw std::invalid_argument("bad");
        co_return 0;
    };
    tasks::TaskHandle<int> failed = tasks::spawn(failing());
    EXPECT_THROW(tasks::runBlocking(awaiter(failed)), std::invalid_argument);
    EXPECT_THROW(tasks::runBlocking(failed.value()), std::invalid_argument);
    EXPECT_FALSE(tasks::runBlocking(failed.result()).isSuccess());
}

// A spawned task keeps the bindings it started with after their scope has ended.
TEST(Spawn, SpawnedTasksInheritTaskLocalsAndDetachedOnesDoNot)
{
    auto read = []() -> Task<std::string> { co_return requestName.get(); };
    auto outer = [read]() -> Task<std::string> {
        std::optional<tasks::TaskHandle<std::string>> inherited;
        std::optional<tasks::TaskHandle<std::string>> detached;
        co_await requestName.withValue("outer", [&]() -> Task<void> {
            inherited = tasks::spawn(read());
            detached = tasks::spawnDetached(read());
            co_return;
        }());
        std::string after = requestName.get();
        co_return after + "/" + co_await inherited->value() + "/" + co_await detached->value();
    };
    EXPECT_EQ(tasks::runBlocking(outer()), "none/outer/none");
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
