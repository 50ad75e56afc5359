#include "VLFoundation/AsyncTaskQueue.h"

#include "Platform/Tasks/Spawn.h"
#include "Platform/Tasks/TaskLocal.h"
#include "Support/Gate.h"
#include "VLFoundation/Protected.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Mode = vl::AsyncTaskQueue::Mode;
using tasks::Task;
using testing_support::Gate;

using Events = std::vector<std::string>;

class Journal {
public:
    void record(const std::string& event)
    {
        events.withLock([&](Events& recorded) { recorded.push_back(event); });
    }
    Events read()
    {
        return events.withLock([](Events& recorded) { return recorded; });
    }
    std::ptrdiff_t position(const std::string& event)
    {
        Events recorded = read();
        auto found = std::find(recorded.begin(), recorded.end(), event);
        EXPECT_NE(found, recorded.end()) << event << " was not recorded";
        return found - recorded.begin();
    }

private:
    vl::Protected<Events> events { Events {} };
};

const tasks::TaskLocal<std::string> callerName { std::string() };

// An entry that records its start (noting whether it runs in the task of a caller of its name,
// whose local it then sees), optionally waits at a gate, and records its end.
vl::AsyncTaskQueue::Operation entry(Journal& journal, std::string name, Gate* gate = nullptr)
{
    return [&journal, name, gate]() -> Task<void> {
        journal.record(name + (callerName.get() == name ? " start in caller" : " start"));
        if (gate)
            co_await gate->passed();
        journal.record(name + " end");
    };
}

TEST(AsyncTaskQueue, ConcurrentQueueOverlapsEntriesBetweenBarriersAndRunsBarriersAlone)
{
    Journal journal;
    Gate holdFirstPair;
    Gate holdBarrier;
    Gate holdSecondPair;
    vl::AsyncTaskQueue queue(Mode::concurrent);
    queue.async(false, entry(journal, "A", &holdFirstPair));
    queue.async(false, entry(journal, "B", &holdFirstPair));
    queue.async(true, entry(journal, "C", &holdBarrier));
    queue.async(false, entry(journal, "D", &holdSecondPair));
    queue.async(false, entry(journal, "E", &holdSecondPair));
    // A and B are both running: both wait at the one gate; so are D and E after the barrier.
    holdFirstPair.waitForWaiters(2);
    holdFirstPair.open();
    holdBarrier.waitForWaiters(1);
    holdBarrier.open();
    holdSecondPair.waitForWaiters(2);
    holdSecondPair.open();
    tasks::runBlocking(queue.wait());
    EXPECT_LT(journal.position("A end"), journal.position("C start"));
    EXPECT_LT(journal.position("B end"), journal.position("C start"));
    EXPECT_LT(journal.position("C end"), journal.position("D start"));
    EXPECT_LT(journal.position("C end"), journal.position("E start"));
    EXPECT_EQ(journal.read().size(), 10u);
}

Task<int> answer(int value)
{
    co_return value;
}

Task<int> failing()
{
    throw std::domain_error("operation failed");
    co_return 0;
}

TEST(AsyncTaskQueue, SyncSubmitsWhenCalledNotWhenAwaitedAndPassesTheOperationsValueOrErrorOn)
{
    Journal journal;
    Gate holdFirst;
    vl::AsyncTaskQueue queue(Mode::serial);
    queue.async(false, entry(journal, "A", &holdFirst));
    Task<int> pending = queue.sync(false, [&journal] {
        journal.record("sync ran");
        return answer(7);
    });
    queue.async(false, entry(journal, "B"));
    Task<int> failed = queue.sync(true, [] { return failing(); });
    queue.async(false, entry(journal, "C"));
    holdFirst.waitForWaiters(1);
    holdFirst.open();
    tasks::runBlocking(queue.wait());
    // A serial queue runs each entry alone in submission order, and goes on after a failed sync.
    EXPECT_EQ(
        journal.read(), (Events { "A start", "A end", "sync ran", "B start", "B end", "C start", "C end" }));
    EXPECT_EQ(tasks::runBlocking(std::move(pending)), 7);
    EXPECT_THROW(tasks::runBlocking(std::move(failed)), std::domain_error);
}

// Awaits a sync, made (and so submitted) beforehand, in a task that binds the caller's name.
Task<void> awaitAs(std::string name, Task<void> synced)
{
    co_await callerName.withValue(name, std::move(synced));
}

TEST(AsyncTaskQueue, SyncRunsInItsCallerWhileNoBarrierIsPendingAndBarriersStillWaitForIt)
{
    Journal journal;
    Gate holdInline;
    Gate holdBarrier;
    vl::AsyncTaskQueue queue(Mode::concurrent);
    tasks::TaskHandle<void> first
        = tasks::spawn(awaitAs("A", queue.sync(false, entry(journal, "A", &holdInline))));
    holdInline.waitForWaiters(1);
    queue.async(true, entry(journal, "barrier", &holdBarrier));
    tasks::TaskHandle<void> second = tasks::spawn(awaitAs("B", queue.sync(false, entry(journal, "B"))));
    holdInline.open();
    holdBarrier.waitForWaiters(1);
    holdBarrier.open();
    tasks::runBlocking(second.value());
    tasks::runBlocking(first.value());
    // A sync never awaited still gives way to the barrier behind it once it is dropped.
    {
        Task<int> dropped = queue.sync(false, [] { return answer(1); });
        queue.async(true, entry(journal, "after drop"));
    }
    tasks::runBlocking(queue.wait());
    EXPECT_EQ(journal.read(),
        (Events { "A start in caller", "A end", "barrier start", "barrier end", "B start", "B end",
            "after drop start", "after drop end" }));
}

// Nothing runs before activation; a wait returns only after every entry submitted before it.
TEST(AsyncTaskQueue, EntriesWaitForActivationAndWaitReturnsAfterEveryEarlierEntry)
{
    Journal journal;
    Gate holdFirst;
    vl::AsyncTaskQueue queue(Mode::concurrent, false);
    queue.async(false, entry(journal, "A", &holdFirst));
    queue.async(false, entry(journal, "B"));
    tasks::TaskHandle<void> waiter = tasks::spawn([](Task<void> wait, Journal& journal) -> Task<void> {
        co_await std::move(wait);
        journal.record("waited");
    }(queue.wait(), journal));
    EXPECT_EQ(journal.read(), Events {});
    queue.activate();
    holdFirst.waitForWaiters(1);
    holdFirst.open();
    tasks::runBlocking(waiter.value());
    Events events = journal.read();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events.back(), "waited");
}

TEST(AsyncTaskQueue, DestroyedQueueStillRunsWhatWasSubmitted)
{
    Journal journal;
    Gate holdFirst;
    auto [finished, finishing] = vl::AsyncFuture<void>::makeFuture();
    {
        vl::AsyncTaskQueue queue(Mode::concurrent);
        queue.async(false, entry(journal, "A", &holdFirst));
        queue.async(true, entry(journal, "B"));
        queue.async(false, [promise = finishing]() -> Task<void> {
            promise.resolve();
            co_return;
        });
        holdFirst.waitForWaiters(1);
    }
    holdFirst.open();
    tasks::runBlocking(finished->wait());
    EXPECT_EQ(journal.read(), (Events { "A start", "A end", "B start", "B end" }));
}

TEST(AsyncTaskQueue, SubmissionsFromManyThreadsAllRunAndKeepEachProducersOrder)
{
    constexpr int producers = 8;
    constexpr int perProducer = 500;
    vl::AsyncTaskQueue queue(Mode::serial);
    vl::Protected<std::vector<int>> lastSeen { std::vector<int>(producers, -1) };
    std::atomic<int> outOfOrder { 0 };
    std::vector<std::thread> threads;
    for (int producer = 0; producer < producers; ++producer)
        threads.emplace_back([&, producer] {
            for (int index = 0; index < perProducer; ++index)
                queue.async(false, [&, producer, index]() -> Task<void> {
                    lastSeen.withLock([&](std::vector<int>& seen) {
                        if (seen[static_cast<std::size_t>(producer)] != index - 1)
                            outOfOrder.fetch_add(1);
                        seen[static_cast<std::size_t>(producer)] = index;
                    });
                    co_return;
                });
        });
    for (std::thread& thread : threads)
        thread.join();
    tasks::runBlocking(queue.wait());
    EXPECT_EQ(outOfOrder.load(), 0);
    EXPECT_EQ(lastSeen.withLock([](std::vector<int>& seen) { return seen; }),
        std::vector<int>(producers, perProducer - 1));
}

TEST(AsyncTaskQueueDeathTest, SecondActivationAndFailingEntriesAreFatal)
{
    EXPECT_DEATH(vl::AsyncTaskQueue(Mode::serial).activate(),
        "VLFoundation/AsyncTaskQueue: Fatal error: AsyncTaskQueue active");
    EXPECT_DEATH(
        {
            vl::AsyncTaskQueue queue(Mode::concurrent);
            queue.async(false, []() -> Task<void> {
                throw std::runtime_error("unexpected");
                co_return;
            });
            tasks::runBlocking(queue.wait());
        },
        "AsyncTaskQueue operation failed");
}

} // namespace
