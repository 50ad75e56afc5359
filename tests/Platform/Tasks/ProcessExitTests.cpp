#include "Platform/OS/Logger.h"
#include "Platform/Tasks/Clock.h"
#include "Platform/Tasks/Spawn.h"
#include "TestGate.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>

namespace {

using namespace std::chrono_literals;

std::atomic<bool> exiting{false};

// Once the process has begun to exit, logs and sleeps (through the executor and the timer
// service) until the process is gone.
tasks::Task<void> logThroughTheExit()
{
    os::Logger logger("org.example.test", "exit");
    while (!exiting.load())
        co_await tasks::sleepFor(0ns);
    for (;;) {
        logger.info("still running");
        co_await tasks::sleepFor(0ns);
    }
}

[[noreturn]] void exitWhileATaskLogs()
{
    std::atexit([] { exiting = true; });
    (void)tasks::spawn(logThroughTheExit());
    std::exit(0);
}

TEST(ProcessExit, TasksStillRunningMayLogAndSleepWhileStaticObjectsAreDestroyed)
{
    for (int round = 0; round < 5; ++round)
        EXPECT_EXIT(exitWhileATaskLogs(), testing::ExitedWithCode(0), "");
}

[[noreturn]] void waitForTheGatedTask()
{
    testing_support::TestGate gate;
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
