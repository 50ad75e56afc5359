#include "VLFoundation/SendableAsyncIterator.h"

#include "Platform/Tasks/AsyncStream.h"
#include "Platform/Tasks/Spawn.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <numeric>
#include <optional>
#include <stdexcept>
#include <vector>

namespace {

using tasks::Task;

// Hands out its elements in order, counts how often it is asked, and can fail on chosen calls.
class ScriptedIterator {
public:
    ScriptedIterator(
        std::vector<char> elements, std::shared_ptr<std::atomic<int>> asked, int failingCall = -1)
        : elements(std::move(elements))
        , asked(std::move(asked))
        , failingCall(failingCall)
    {
    }
    ScriptedIterator(ScriptedIterator&&) = default;

    Task<std::optional<char>> next()
    {
        int call = asked->fetch_add(1);
        if (call == failingCall)
            throw std::runtime_error("iterator failed");
        if (position == elements.size())
            co_return std::nullopt;
        co_return elements[position++];
    }

private:
    std::vector<char> elements;
    std::shared_ptr<std::atomic<int>> asked;
    int failingCall;
    std::size_t position = 0;
};

// Draws from two copies in turn, after a first call that the scripted iterator fails.
Task<std::vector<std::optional<char>>> drawAfterFailure(
    vl::SendableAsyncIterator<char> first, vl::SendableAsyncIterator<char> second)
{
    try {
        (void)co_await first.next();
        ADD_FAILURE() << "the iterator's error was not passed on";
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "iterator failed");
    }
    std::vector<std::optional<char>> drawn;
    drawn.push_back(co_await second.next());
    drawn.push_back(co_await first.next());
    drawn.push_back(co_await second.next());
    drawn.push_back(co_await first.next());
    co_return drawn;
}

TEST(SendableAsyncIterator, CopiesShareOneIteratorThatIsAskedAgainAfterAFailureButNeverAfterItsEnd)
{
    auto asked = std::make_shared<std::atomic<int>>(0);
    vl::SendableAsyncIterator<char> iterator(ScriptedIterator({ 'A', 'B' }, asked, 0));
    vl::SendableAsyncIterator<char> copy = iterator;
    std::vector<std::optional<char>> drawn = tasks::runBlocking(drawAfterFailure(iterator, copy));
    EXPECT_EQ(drawn, (std::vector<std::optional<char>> { 'A', 'B', std::nullopt, std::nullopt }));
    EXPECT_EQ(asked->load(), 4);
}

Task<std::vector<int>> drainCopy(vl::SendableAsyncIterator<int> iterator)
{
    std::vector<int> received;
    while (std::optional<int> element = co_await iterator.next())
        received.push_back(*element);
    co_return received;
}

TEST(SendableAsyncIterator, ConcurrentCallersReceiveEachElementOnceInTheIteratorsOrder)
{
    constexpr int count = 2000;
    auto [stream, producer] = tasks::AsyncStream<int>::makeStream();
    for (int element = 0; element < count; ++element)
        producer.yield(element);
    producer.finish();
    vl::SendableAsyncIterator<int> iterator(stream);
    std::vector<tasks::TaskHandle<std::vector<int>>> consumers;
    for (int consumer = 0; consumer < 4; ++consumer)
        consumers.push_back(tasks::spawn(drainCopy(iterator)));
    std::vector<int> all;
    for (tasks::TaskHandle<std::vector<int>>& consumer : consumers) {
        std::vector<int> part = tasks::runBlocking(consumer.value());
        EXPECT_TRUE(std::is_sorted(part.begin(), part.end()));
        all.insert(all.end(), part.begin(), part.end());
    }
    std::sort(all.begin(), all.end());
    std::vector<int> expected(count);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(all, expected);
}

} // namespace
