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

TEST(DispatchQueue, SyncWaitsForEarlierBlocksAndRunsOnTheCallingThread)
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
    std::thread caller([&] {
        queue.sync([&] {
            ranOn = std::this_thread::get_id();
            sawEarlierFinished = earlierFinished.load();
        });
    });
    std::thread::id callerId = caller.get_id();
    release.set_value();
    caller.join();
    EXPECT_TRUE(sawEarlierFinished);
    EXPECT_EQ(ranOn, callerId);
}

TEST(DispatchQueue, SyncHoldsTheQueueSoLaterAsyncBlocksWaitForIt)
{
    DispatchQueue queue("held");
    std::vector<int> order;
    SharedCounter asyncRan;
    queue.sync([&] {
        queue.async([&] {
            order.push_back(2);
            asyncRan.increment();
        });
        order.push_back(1);
    });
    asyncRan.waitFor(1);
    queue.sync([] {});
    EXPECT_EQ(order, (std::vector<int> { 1, 2 }));
}

TEST(DispatchQueue, SyncReturnsTheBlocksValueAndPassesItsErrorOn)
{
    DispatchQueue queue("values");
    EXPECT_EQ(queue.sync([] { return 42; }), 42);
    EXPECT_THROW(queue.sync([]() -> int { throw std::runtime_error("failed"); }), std::runtime_error);
    // The failed block gave the queue back.
    int later = 0;
    queue.async([&] { later = 1; });
    queue.sync([] {});
    EXPECT_EQ(later, 1);
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

TEST(DispatchQueue, BlocksStillPendingWhenTheLastHandleGoesRunAnyway)
{
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    SharedCounter ran;
    {
        DispatchQueue queue("released");
        queue.async([released] { released.wait(); });
        for (int index = 0; index < 3; ++index)
            queue.async([&ran] { ran.increment(); });
    }
    release.set_value();
    ran.waitFor(3);
    EXPECT_EQ(ran.value(), 3);
}

TEST(DispatchQueue, ReleasingTheLastHandleFromItsOwnBlockIsSafe)
{
    SharedCounter finished;
    auto queue = std::make_optional<DispatchQueue>("self-release");
    std::promise<void> handedOver;
    std::shared_future<void> ready = handedOver.get_future().share();
    queue->async([&queue, ready, &finished] {
        ready.wait();
        queue.reset();
        finished.increment();
    });
    handedOver.set_value();
    finished.waitFor(1);
    EXPECT_FALSE(queue.has_value());
}

} // namespace
