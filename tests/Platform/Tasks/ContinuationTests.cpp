#include "Platform/Tasks/Continuation.h"
#include "Platform/Tasks/Spawn.h"
#include "Support/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <optional>
#include <stdexcept>
#include <thread>

namespace {

using tasks::Continuation;
using tasks::Task;

// Resumed inside the body, the task goes on at once on its own thread; resumed from another
// thread, it is scheduled on its executor instead of running on the resuming thread.
TEST(Continuation, ResumedInsideTheBodyContinuesInlineAndFromAnotherThreadIsScheduled)
{
    auto inside = []() -> Task<bool> {
        std::thread::id before = std::this_thread::get_id();
        int value = co_await tasks::withContinuation<int>(
            [](Continuation<int> continuation) { continuation.resume(7); });
        co_return value == 7 && std::this_thread::get_id() == before;
    };
    EXPECT_TRUE(tasks::runBlocking(inside()));

    std::promise<Continuation<int>> handOver;
    std::future<Continuation<int>> handed = handOver.get_future();
    std::atomic<std::thread::id> resumedOn;
    auto body = [&]() -> Task<int> {
        int value = co_await tasks::withContinuation<int>(
            [&](Continuation<int> continuation) { handOver.set_value(std::move(continuation)); });
        resumedOn = std::this_thread::get_id();
        co_return value;
    };
    tasks::TaskHandle<int> task = tasks::spawn(body());
    std::thread resumer([&] {
        Continuation<int> continuation = handed.get();
        continuation.resume(11);
    });
    std::thread::id resumerId = resumer.get_id();
    resumer.join();
    EXPECT_EQ(tasks::runBlocking(task.value()), 11);
    EXPECT_NE(resumedOn.load(), resumerId);
}

TEST(Continuation, ManyConcurrentResumesEachWakeTheirOwnTask)
{
    constexpr int count = 200;
    std::vector<std::optional<Continuation<int>>> parked(count);
    std::atomic<int> parkedCount { 0 };
    std::vector<tasks::TaskHandle<int>> handles;
    auto body = [&parked, &parkedCount](int index) -> Task<int> {
        co_return co_await tasks::withContinuation<int>(
            [&parked, &parkedCount, index](Continuation<int> continuation) {
                parked[index].emplace(std::move(continuation));
                parkedCount.fetch_add(1);
            });
    };
    for (int index = 0; index < count; ++index)
        handles.push_back(tasks::spawn(body(index)));
    testing_support::waitUntil([&] { return parkedCount.load() >= count; });
    std::thread evens([&] {
        for (int index = 0; index < count; index += 2)
            parked[index]->resume(index);
    });
    for (int index = 1; index < count; index += 2)
        parked[index]->resume(index);
    evens.join();
    for (int index = 0; index < count; ++index)
        EXPECT_EQ(tasks::runBlocking(handles[index].value()), index);
}

TEST(ContinuationDeathTest, SecondResumeIsFatal)
{
    auto body = []() -> Task<void> {
        co_await tasks::withContinuation<void>([](Continuation<void> continuation) {
            continuation.resume();
            continuation.resume();
        });
    };
    EXPECT_DEATH(tasks::runBlocking(body()), "Continuation resumed more than once");
}

} // namespace
