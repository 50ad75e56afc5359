#include "Platform/Dispatch/DispatchQueue.h"

#include "Support/SharedCounter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <latch>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using dispatch::DispatchQueue;
using testing_support::SharedCounter;

// Records whether two blocks of a queue ever overlapped.
class OverlapDetector {
public:
    void enter()
    {
        if (running.fetch_add(1) != 0)
            overlapped = true;
    }
    void leave() { running.fetch_sub(1); }
    bool sawOverlap() const { return overlapped; }

private:
    std::atomic<int> running { 0 };
    std::atomic<bool> overlapped { false };
};

TEST(DispatchQueue, AsyncBlocksRunOneAtATimeInSubmissionOrder)
{
    DispatchQueue queue("org.vorlane.test.order");
    EXPECT_EQ(queue.label(), "org.vorlane.test.order");
    OverlapDetector detector;
    std::vector<int> order;
    for (int index = 0; index < 200; ++index)
        queue.async([&, index] {
            detector.enter();
            order.push_back(index);
            detector.leave();
        });
    queue.sync([] {});
    ASSERT_EQ(order.size(), 200u);
    for (int index = 0; index < 200; ++index)
        EXPECT_EQ(order[static_cast<std::size_t>(index)], index);
    EXPECT_FALSE(detector.sawOverlap());
}

// sync runs its block on the calling thread once the earlier blocks are done, holds the queue
// while the block runs (an async block submitted from it waits), and passes the block's value or
// error on, giving the queue back either way.
TEST(DispatchQueue, SyncRunsOnTheCallingThreadAfterEarlierBlocksHoldsTheQueueAndPassesTheOutcomeOn)
{
    DispatchQueue queue("sync");
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> earlierFinished { false };
    queue.async([&] {
        released.wait();
        earlierFinished = true;
    });
    std::optional<std::thread::id> ranOn;
    bool sawEarlierFinished = false;
    std::vector<int> order;
    std::thread caller([&] {
        queue.sync([&] {
            ranOn = std::this_thread::get_id();
            sawEarlierFinished = earlierFinished.load();
            queue.async([&] { order.push_back(2); });
            order.push_back(1);
        });
    });
    std::thread::id callerId = caller.get_id();
    release.set_value();
    caller.join();
    EXPECT_TRUE(sawEarlierFinished);
    EXPECT_EQ(ranOn, callerId);

    EXPECT_EQ(queue.sync([] { return 42; }), 42);
    EXPECT_THROW(queue.sync([]() -> int { throw std::runtime_error("failed"); }), std::runtime_error);
    queue.async([&] { order.push_back(3); });
    queue.sync([] {});
    EXPECT_EQ(order, (std::vector<int> { 1, 2, 3 }));
}

TEST(DispatchQueue, SyncCallersAndAsyncBlocksFromManyThreadsNeverOverlap)
{
    DispatchQueue queue("contended");
    OverlapDetector detector;
    int total = 0;
    constexpr int threads = 6;
    constexpr int rounds = 300;
    std::latch start(threads);
    std::vector<std::thread> callers;
    for (int thread = 0; thread < threads; ++thread)
        callers.emplace_back([&, thread] {
            start.arrive_and_wait();
            for (int round = 0; round < rounds; ++round) {
                auto block = [&] {
                    detector.enter();
                    ++total;
                    detector.leave();
                };
                if ((round + thread) % 2 == 0)
                    queue.sync(block);
                else
                    queue.async(block);
            }
        });
    for (std::thread& caller : callers)
        caller.join();
    queue.sync([] {});
    EXPECT_EQ(total, threads * rounds);
    EXPECT_FALSE(detector.sawOverlap());
}

// The queue's last handle goes while blocks are still pending, let go by the block running at
// that moment: the pending blocks run anyway.
TEST(DispatchQueue, BlocksStillPendingWhenABlockReleasesTheLastHandleRunAnyway)
{
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    SharedCounter ran;
    std::optional<DispatchQueue> heldByItsBlock;
    {
        DispatchQueue queue("released");
        heldByItsBlock.emplace(queue);
        queue.async([released, &heldByItsBlock] {
            released.wait();
            heldByItsBlock.reset();
        });
        for (int index = 0; index < 3; ++index)
            queue.async([&ran] { ran.increment(); });
    }
    release.set_value();
    ran.waitFor(3);
    EXPECT_EQ(ran.value(), 3);
    EXPECT_FALSE(heldByItsBlock.has_value());
}

} // namespace
