#include "Platform/Tasks/Spawn.h"
#include "Platform/Tasks/Task.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using tasks::Task;

Task<int> answer()
{
    co_return 42;
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

TEST(Task, LotsOfSynchronousCompletionsDoNotOverflowTheStack)
{
    constexpr long count = 1'000'000;
    EXPECT_EQ(tasks::runBlocking(longChainOfSynchronousAwaits(count)), 42 * count);
}

} // namespace
