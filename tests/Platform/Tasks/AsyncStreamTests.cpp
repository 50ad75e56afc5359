#include "Platform/Tasks/AsyncStream.h"
#include "Platform/Tasks/Spawn.h"
#include "Support/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

using tasks::AsyncStream;
using tasks::Task;

Task<std::vector<int>> drain(AsyncStream<int> stream)
{
    std::vector<int> seen;
    while (std::optional<int> element = co_await stream.next())
        seen.push_back(*element);
    co_return seen;
}

TEST(AsyncStream, DeliversBufferedValuesInOrderThenTheEnd)
{
    auto [stream, continuation] = AsyncStream<int>::makeStream();
    continuation.yield(1);
    continuation.yield(2);
    continuation.finish();
    continuation.yield(3);
    EXPECT_EQ(tasks::runBlocking(drain(stream)), (std::vector<int> { 1, 2 }));
}

TEST(AsyncStream, WakesAWaitingConsumerAndFinishesWhenTheLastProducerIsGone)
{
    auto pair = AsyncStream<int>::makeStream();
    tasks::TaskHandle<std::vector<int>> consumer = tasks::spawn(drain(pair.stream));
    std::vector<std::thread> producers;
    {
        AsyncStream<int>::Continuation producer = pair.continuation;
        pair = AsyncStream<int>::makeStream(); // drop the first stream's own producer copy
        for (int thread = 0; thread < 4; ++thread)
            producers.emplace_back([producer, thread] {
                for (int index = 0; index < 250; ++index)
                    producer.yield(thread * 1000 + index);
            });
    }
    for (std::thread& producer : producers)
        producer.join();
    producers.clear();
    std::vector<int> seen = tasks::runBlocking(consumer.value());
    ASSERT_EQ(seen.size(), 1000u);
    // Each producer's values arrive in the order it yielded them.
    for (int thread = 0; thread < 4; ++thread) {
        int last = -1;
        for (int value : seen)
            if (value / 1000 == thread) {
                EXPECT_GT(value, last);
                last = value;
            }
    }
}

TEST(AsyncStream, CancellingTheWaitingConsumerEndsItsIteration)
{
    auto [stream, continuation] = AsyncStream<int>::makeStream();
    std::atomic<bool> started { false };
    auto consume = [&started](AsyncStream<int> stream) -> Task<std::optional<int>> {
        started = true;
        co_return co_await stream.next();
    };
    tasks::TaskHandle<std::optional<int>> consumer = tasks::spawn(consume(stream));
    testing_support::waitUntil([&] { return started.load(); });
    consumer.cancel();
    EXPECT_FALSE(tasks::runBlocking(consumer.value()).has_value());
}

} // namespace
