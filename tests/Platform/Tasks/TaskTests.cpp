#include "Platform/Tasks/Spawn.h"
#include "Platform/Tasks/Task.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

namespace {

using tasks::Task;

Task<int> answer()
{
    co_return 42;
}

Task<int> failing()
{
    throw std::runtime_error("failed inside");
    co_return 0;
}

Task<std::string> twice(int* started)
{
    ++*started;
    int value = co_await answer();
    co_return std::to_string(value * 2);
}

Task<void> completesSynchronously()
{
    co_return;
}

Task<long> longChainOfSynchronousAwaits(long count)
{
    long sum = 0;
    for (long index = 0; index < count; ++index) {
        co_await completesSynchronously();
        sum += co_await answer();
    }
    co_return sum;
}

TEST(Task, DoesNotStartUntilAwaited)
{
    int started = 0;
    {
        Task<std::string> unstarted = twice(&started);
        EXPECT_EQ(started, 0);
    }
    EXPECT_EQ(started, 0);
    EXPECT_EQ(tasks::runBlocking(twice(&started)), "84");
    EXPECT_EQ(started, 1);
}

TEST(Task, AwaitingRethrowsTheOperationsError)
{
    auto outer = []() -> Task<std::string> {
        try {
            co_await failing();
        } catch (const std::runtime_error& error) {
            co_return std::string("caught: ") + error.what();
        }
        co_return "not caught";
    };
    EXPECT_EQ(tasks::runBlocking(outer()), "caught: failed inside");
    EXPECT_THROW(tasks::runBlocking(failing()), std::runtime_error);
}

TEST(Task, LotsOfSynchronousCompletionsDoNotOverflowTheStack)
{
    constexpr long count = 1'000'000;
    EXPECT_EQ(tasks::runBlocking(longChainOfSynchronousAwaits(count)), 42 * count);
}

TEST(Task, MoveOnlyValuesPassThrough)
{
    auto make = []() -> Task<std::unique_ptr<int>> { co_return std::make_unique<int>(5); };
    auto use = [make]() -> Task<int> {
        std::unique_ptr<int> value = co_await make();
        co_return *value + 1;
    };
    EXPECT_EQ(tasks::runBlocking(use()), 6);
}

TEST(Task, CatchingCapturesValueOrError)
{
    tasks::Result<int> success = tasks::runBlocking(tasks::catching(answer()));
    ASSERT_TRUE(success.isSuccess());
    EXPECT_EQ(success.get(), 42);
    tasks::Result<int> failure = tasks::runBlocking(tasks::catching(failing()));
    ASSERT_FALSE(failure.isSuccess());
    EXPECT_THROW(failure.get(), std::runtime_error);
    tasks::Result<void> nothing = tasks::runBlocking(tasks::catching(completesSynchronously()));
    EXPECT_TRUE(nothing.isSuccess());
}

} // namespace
