#include "VLFoundation/AsyncFuture.h"
#include "VLFoundation/Deferred.h"

#include "Support/Gate.h"
#include "Support/ManualClock.h"
#include "Support/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using tasks::Task;
using testing_support::ManualClock;
using vl::AsyncFuture;

using Future = std::shared_ptr<AsyncFuture<int>>;

Task<int> valueOf(Future future)
{
    co_return co_await future->value();
}

template <typename Clock>
Task<int> getWithin(
    Future future, Clock clock, ManualClock::Duration timeout, AsyncFuture<int>::OnTimeout onTimeout = {})
{
    co_return co_await future->get(clock.now() + timeout, std::nullopt, clock, std::move(onTimeout));
}

TEST(AsyncFuture, AnEarlyResultIsReturnedAtOnceEvenPastTheDeadlineAndADistantDeadlineNeverFires)
{
    auto [future, promise] = AsyncFuture<int>::makeFuture();
    promise.resolveReturning(5);
    EXPECT_EQ(tasks::runBlocking(valueOf(future)), 5);

    auto [failed, failing] = AsyncFuture<int>::makeFuture();
    failing.resolveThrowing(std::make_exception_ptr(std::domain_error("daemon error")));
    EXPECT_THROW(tasks::runBlocking(valueOf(failed)), std::domain_error);

    auto [done, completion] = AsyncFuture<void>::makeFuture();
    completion.resolve();
    tasks::runBlocking(done->wait());

    // A deadline already past gives up at once, unless the result is there.
    auto [pending, resolver] = AsyncFuture<int>::makeFuture();
    dispatch::DispatchTime past = dispatch::DispatchTime::now() + -1s;
    auto get = [](Future future, dispatch::DispatchTime deadline) -> Task<int> {
        co_return co_await future->get(deadline);
    };
    EXPECT_THROW(tasks::runBlocking(get(pending, past)), tasks::CancellationError);
    resolver.resolveReturning(4);
    EXPECT_EQ(tasks::runBlocking(get(pending, past)), 4);

    // A deadline in the distant future never fires, however long the consumer waits.
    auto [distant, lateResolver] = AsyncFuture<int>::makeFuture();
    tasks::TaskHandle<int> waiting = tasks::spawn(get(distant, dispatch::DispatchTime::distantFuture()));
    tasks::runBlocking(tasks::sleepFor(1ms));
    lateResolver.resolveReturning(2);
    EXPECT_EQ(tasks::runBlocking(waiting.value()), 2);
}

TEST(AsyncFuture, TimeoutThrowsCancellationOrAnswersWithTheHandlerAndALateResultStillArrives)
{
    ManualClock clock;
    auto [future, promise] = AsyncFuture<int>::makeFuture();
    tasks::TaskHandle<int> consumer = tasks::spawn(getWithin(future, clock, 10s));
    clock.waitForSleepers(1);
    clock.advance(10s);
    EXPECT_THROW(tasks::runBlocking(consumer.value()), tasks::CancellationError);

    // With a handler the timeout answers with the handler's value or error.
    tasks::TaskHandle<int> answered = tasks::spawn(getWithin(future, clock, 1s, [] { return -1; }));
    clock.waitForSleepers(1);
    clock.advance(2s);
    EXPECT_EQ(tasks::runBlocking(answered.value()), -1);
    tasks::TaskHandle<int> failing
        = tasks::spawn(getWithin(future, clock, 1s, []() -> int { throw std::runtime_error("no answer"); }));
    clock.waitForSleepers(1);
    clock.advance(1s);
    EXPECT_THROW(tasks::runBlocking(failing.value()), std::runtime_error);

    // A consumer waiting first is resumed by the producer and cancels its timeout task.
    tasks::TaskHandle<int> late = tasks::spawn(getWithin(future, clock, 1h));
    clock.waitForSleepers(1);
    std::thread producer([promise = promise] { promise.resolveReturning(3); });
    producer.join();
    EXPECT_EQ(tasks::runBlocking(late.value()), 3);
    testing_support::waitUntil([&] { return clock.sleeperCount() == 0; });
}

TEST(AsyncFuture, CancellingTheWaitingTaskGivesUpAtOnceButCancellingItBeforeItWaitsDoesNot)
{
    ManualClock clock;
    auto [future, promise] = AsyncFuture<int>::makeFuture();
    tasks::TaskHandle<int> consumer = tasks::spawn(getWithin(future, clock, 24h));
    clock.waitForSleepers(1);
    consumer.cancel();
    EXPECT_THROW(tasks::runBlocking(consumer.value()), tasks::CancellationError);

    tasks::TaskHandle<int> withHandler = tasks::spawn(getWithin(future, clock, 24h, [] { return 42; }));
    clock.waitForSleepers(1);
    withHandler.cancel();
    EXPECT_EQ(tasks::runBlocking(withHandler.value()), 42);

    // A task cancelled before it waits is not released early.
    std::atomic<bool> cancelled { false };
    auto cancelledFirst = [&](Future future) -> Task<int> {
        // A sleep that the cancellation interrupts ends with CancellationError: the loop goes on.
        while (!tasks::isCancelled())
            (void)co_await tasks::catching(tasks::sleepFor(0ns));
        cancelled = true;
        co_return co_await getWithin(future, clock, 1h);
    };
    tasks::TaskHandle<int> task = tasks::spawn(cancelledFirst(future));
    task.cancel();
    testing_support::waitUntil([&] { return cancelled.load(); });
    clock.waitForSleepers(1);
    promise.resolveReturning(8);
    EXPECT_EQ(tasks::runBlocking(task.value()), 8);
}

// A manual clock whose sleeps, once due, wait at a gate before they end: a test can hold a
// timeout task between the end of its sleep and its give-up.
struct GatedClock {
    using Instant = ManualClock::Instant;
    using Duration = ManualClock::Duration;
    ManualClock clock;
    std::shared_ptr<testing_support::Gate> gate = std::make_shared<testing_support::Gate>();

    Instant now() const { return clock.now(); }
    Task<void> sleep(Instant deadline, std::optional<Duration> tolerance) const
    {
        return [](Task<void> sleep, std::shared_ptr<testing_support::Gate> gate) -> Task<void> {
            co_await std::move(sleep);
            co_await gate->passed();
        }(clock.sleep(deadline, tolerance), gate);
    }
};

TEST(AsyncFuture, TimeoutOfAnEndedWaitNeverGivesUpTheNextWait)
{
    GatedClock clock;
    auto [future, promise] = AsyncFuture<int>::makeFuture();
    // Copies of the first wait's onTimeout live until its timeout task has finished.
    auto firstWaitMarker = std::make_shared<int>(-1);
    std::weak_ptr<int> firstWaitAlive = firstWaitMarker;
    tasks::TaskHandle<int> first = tasks::spawn(
        getWithin(future, clock, 1s, [marker = std::move(firstWaitMarker)] { return *marker; }));
    clock.clock.waitForSleepers(1);
    clock.clock.advance(1s);
    clock.gate->waitForWaiters(1);
    // The first wait's sleep has ended; cancelling its task gives up that wait and cancels a
    // timeout task that is already past its sleep.
    first.cancel();
    EXPECT_EQ(tasks::runBlocking(first.value()), -1);
    tasks::TaskHandle<int> second = tasks::spawn(getWithin(future, clock, 24h, [] { return -2; }));
    clock.clock.waitForSleepers(1);
    clock.gate->open();
    for (int spin = 0; !firstWaitAlive.expired() && spin < 10'000'000; ++spin)
        std::this_thread::yield();
    ASSERT_TRUE(firstWaitAlive.expired());
    promise.resolveReturning(5);
    EXPECT_EQ(tasks::runBlocking(second.value()), 5);
}

TEST(AsyncFutureDeathTest, SecondDeliveryOrSecondConsumerIsFatal)
{
    using Pair = AsyncFuture<int>::Pair;
    const std::vector<std::function<void(Pair&)>> misuses {
        [](Pair& made) {
            made.promise.resolveReturning(1);
            made.promise.resolveReturning(2);
        },
        [](Pair& made) {
            made.promise.resolveReturning(1);
            tasks::runBlocking(valueOf(made.future));
            tasks::runBlocking(valueOf(made.future));
        },
        [](Pair& made) {
            made.promise.resolveReturning(1);
            tasks::runBlocking(valueOf(made.future));
            made.promise.resolveReturning(2);
        },
        [](Pair& made) {
            ManualClock clock;
            tasks::TaskHandle<int> first = tasks::spawn(getWithin(made.future, clock, 1h));
            clock.waitForSleepers(1);
            tasks::runBlocking(valueOf(made.future));
        },
    };
    for (const std::function<void(Pair&)>& misuse : misuses)
        EXPECT_DEATH(
            {
                Pair made = AsyncFuture<int>::makeFuture();
                misuse(made);
            },
            "VLFoundation/AsyncFuture: Fatal error");
}

TEST(Deferred, CancelledBeforeItsDeadlineNeverRunsItsOperation)
{
    ManualClock clock;
    std::atomic<bool> ran { false };
    auto operation = [](std::atomic<bool>& ran) -> Task<void> {
        ran = true;
        co_return;
    };
    tasks::TaskHandle<void> task = vl::deferred(clock.now() + 5s, std::nullopt, clock, operation(ran));
    clock.waitForSleepers(1);
    task.cancel();
    EXPECT_THROW(tasks::runBlocking(task.value()), tasks::CancellationError);
    clock.advance(10s);
    EXPECT_FALSE(ran.load());

    tasks::TaskHandle<void> due = vl::deferred(clock.now() + 5s, std::nullopt, clock, operation(ran));
    clock.waitForSleepers(1);
    clock.advance(5s);
    tasks::runBlocking(due.value());
    EXPECT_TRUE(ran.load());
}

TEST(Deferred, CancelAtCancelsATaskStillRunningAtTheDeadlineOnly)
{
    ManualClock clock;
    auto waitForCancellation = [](ManualClock clock) -> Task<bool> {
        tasks::Result<void> slept = co_await tasks::catching(clock.sleep(clock.now() + 24h));
        co_return !slept.isSuccess() && tasks::isCancelled();
    };
    tasks::TaskHandle<bool> target = tasks::spawn(waitForCancellation(clock));
    clock.waitForSleepers(1);
    vl::cancelAt(target, clock.now() + 1s, std::nullopt, clock);
    clock.waitForSleepers(2);
    clock.advance(1s);
    EXPECT_TRUE(tasks::runBlocking(target.value()));

    auto finishesAtOnce = []() -> Task<bool> { co_return tasks::isCancelled(); };
    tasks::TaskHandle<bool> quick = tasks::spawn(finishesAtOnce());
    EXPECT_FALSE(tasks::runBlocking(quick.value()));
    vl::cancelAt(quick, clock.now() + 1s, std::nullopt, clock);
    // Once the target has finished, the deadline's sleeper is cancelled, not left waiting.
    testing_support::waitUntil([&] { return clock.sleeperCount() == 0; });
    EXPECT_FALSE(quick.isCancelled());
}

} // namespace
