#include "VLFoundation/SendableAsyncIterator.h"

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

// Hands out 0, 1, 2, ... up to `count`, counts how often it is asked, and fails its first call.
// It has no lock of its own: callers overlapping in it would hand out an element twice.
class ScriptedIterator {
public:
    ScriptedIterator(int count, std::shared_ptr<std::atomic<int>> asked)
        : count(count)
        , asked(std::move(asked))
    {
    }
    ScriptedIterator(ScriptedIterator&&) = default;

    Task<std::optional<int>> next()
    {
        if (asked->fetch_add(1) == 0)
            throw std::runtime_error("iterator failed");
        if (position == count)
            co_return std::nullopt;
        co_return position++;
    }

private:
    int count;
    std::shared_ptr<std::atomic<int>> asked;
    int position = 0;
};

Task<std::vector<int>> drainCopy(vl::SendableAsyncIterator<int> iterator)
{
    std::vector<int> received;
    while (std::optional<int> element = co_await iterator.next())
        received.push_back(*element);
    co_return received;
}

// Copies share one iterator: after its failure it is asked again, each element goes to one caller
// in the iterator's order, and once it has ended it is never asked again.
TEST(SendableAsyncIterator, CopiesShareOneIteratorThatIsAskedAgainAfterAFailureButNeverAfterItsEnd)
{
    constexpr int count = 2000;
    auto asked = std::make_shared<std::atomic<int>>(0);
    vl::SendableAsyncIterator<int> iterator(ScriptedIterator(count, asked));
    EXPECT_THROW(tasks::runBlocking(iterator.next()), std::runtime_error);
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
    EXPECT_EQ(tasks::runBlocking(iterator.next()), std::nullopt);
    EXPECT_EQ(asked->load(), count + 2);
}

} // namespace
