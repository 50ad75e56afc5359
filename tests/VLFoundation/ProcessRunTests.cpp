#include "VLFoundation/ProcessRun.h"

#include "Platform/Tasks/Spawn.h"

#include "Support/OpenDescriptors.h"
#include "Support/ShellProcess.h"

#include <gtest/gtest.h>

namespace {

using foundation::Process;
using foundation::URL;
using testing_support::openDescriptors;
using testing_support::shell;

TEST(ProcessRun, AnExitStatusOfOneIsAValueNotAnError)
{
    EXPECT_EQ(tasks::runBlocking(vl::run(shell("exit 1"))), 1);
    EXPECT_EQ(tasks::runBlocking(vl::run(shell("exit 0"))), 0);
    EXPECT_EQ(tasks::runBlocking(vl::run(shell("exit 255"))), 255);
}

TEST(ProcessRun, TheChildsOutputIsThereWhenRunReturns)
{
    auto before = openDescriptors();
    {
        auto process = shell("echo done");
        auto pipe = std::make_shared<foundation::Pipe>();
        process->standardOutput = pipe;
        EXPECT_EQ(tasks::runBlocking(vl::run(process)), 0);
        EXPECT_EQ(pipe->fileHandleForReading()->readToEnd(), foundation::Data(std::string_view("done\n")));
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(ProcessRun, ALaunchFailureIsThrownAsTheLaunchError)
{
    auto before = openDescriptors();
    auto process = std::make_shared<Process>();
    process->executableURL = URL::fileURLWithPath("/nonexistent/tool");
    process->standardOutput = std::make_shared<foundation::Pipe>();
    try {
        tasks::runBlocking(vl::run(process));
        FAIL() << "a missing executable ran";
    } catch (const foundation::LaunchError& error) {
        EXPECT_EQ(error.errnoCode(), ENOENT);
    }
    EXPECT_FALSE(process->terminationHandler);
    process.reset();
    EXPECT_EQ(openDescriptors(), before);
}

} // namespace
