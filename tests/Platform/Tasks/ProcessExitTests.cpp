#include "Platform/OS/Logger.h"
#include "Platform/Tasks/Clock.h"
#include "Platform/Tasks/Spawn.h"
#include "Support/Gate.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::atomic<bool> exiting { false };
std::atomic<int> loggedWhileExiting { 0 };

// Once the process has begun to exit, logs until the process is gone.
tasks::Task<void> logThroughTheExit()
{
    os::Logger logger("org.example.test", "exit");
    while (!exiting.load())
        co_await tasks::sleepFor(0ns);
    for (;;) {
        logger.info("still running");
        loggedWhileExiting.fetch_add(1);
    }
}

// Sleeps on the timer service and hops between executor threads until the process is gone.
tasks::Task<void> sleepThroughTheExit()
{
    for (;;)
        co_await tasks::sleepFor(0ns);
}

[[noreturn]] void exitWhileATaskLogs()
{
    // Runs before the static objects are destroyed; returns once the task is busy logging.
    std::atexit([] {
        exiting = true;
        for (int spin = 0; loggedWhileExiting.load() < 10 && spin < 10'000'000; ++spin)
            std::this_thread::yield();
    });
    (void)tasks::spawn(logThroughTheExit());
    (void)tasks::spawn(sleepThroughTheExit());
    std::exit(0);
}

// A sink destroyed under a logging task shows as a sanitizer's report or an abort, and only
// sometimes: the exit is repeated.
TEST(ProcessExit, TasksStillRunningMayLogAndSleepWhileStaticObjectsAreDestroyed)
{
    using testing::HasSubstr;
    for (int round = 0; round < 10; ++round)
        EXPECT_EXIT(exitWhileATaskLogs(), testing::ExitedWithCode(0),
            testing::Not(testing::AnyOf(HasSubstr("runtime error"), HasSubstr("pure virtual"))));
}

[[noreturn]] void waitForTheGatedTask()
{
    testing_support::Gate gate;
    (void)tasks::spawn(gate.passed());
    gate.waitForWaiters(1);
    bool finishedEarly = tasks::waitForSpawnedTasks(0ns);
    gate.open();
    bool finishedLater = tasks::waitForSpawnedTasks(60s);
    std::exit(!finishedEarly && finishedLater ? 0 : 1);
}

TEST(ProcessExit, WaitingForSpawnedTasksReturnsOnceTheLastHasFinished)
{
    EXPECT_EXIT(waitForTheGatedTask(), testing::ExitedWithCode(0), "");
}

} // namespace
