#include "VLFoundation/SendableAsyncIterator.h"

#include "Platform/Tasks/AsyncStream.h"
#include "Platform/Tasks/Spawn.h"
#include "Platform/Tasks/TaskGroup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
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

Task<std::vector<std::vector<int>>> drainConcurrently(vl::SendableAsyncIterator<int> iterator, int consumers)
{
    auto body = [&iterator, consumers](
                    tasks::TaskGroup<std::vector<int>>& group) -> Task<std::vector<std::vector<int>>> {
        for (int consumer = 0; consumer < consumers; ++consumer)
            group.addTask(drainCopy(iterator));
        std::vector<std::vector<int>> received;
        while (std::optional<std::vector<int>> part = co_await group.next())
            received.push_back(std::move(*part));
        co_return received;
    };
    co_return co_await tasks::withThrowingTaskGroup<std::vector<int>>(body);
}

TEST(SendableAsyncIterator, ConcurrentCallersReceiveEachElementOnceInTheIteratorsOrder)
{
    constexpr int count = 2000;
    auto [stream, producer] = tasks::AsyncStream<int>::makeStream();
    for (int element = 0; element < count; ++element)
        producer.yield(element);
    producer.finish();
    std::vector<std::vector<int>> parts
        = tasks::runBlocking(drainConcurrently(vl::SendableAsyncIterator<int>(stream), 4));
    std::vector<int> all;
    for (const std::vector<int>& part : parts) {
        EXPECT_TRUE(std::is_sorted(part.begin(), part.end()));
        all.insert(all.end(), part.begin(), part.end());
    }
    std::sort(all.begin(), all.end());
    std::vector<int> expected(count);
    for (int element = 0; element < count; ++element)
        expected[static_cast<std::size_t>(element)] = element;
    EXPECT_EQ(all, expected);
}

} // namespace
