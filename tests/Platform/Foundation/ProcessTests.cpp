#include "Platform/Foundation/Process.h"

#include "Support/OpenDescriptors.h"
#include "Support/ShellProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <future>

namespace {

using foundation::Data;
using foundation::FileHandle;
using foundation::LaunchError;
using foundation::Pipe;
using foundation::Process;
using foundation::URL;
using testing_support::openDescriptors;
using testing_support::shell;

TEST(Process, StandardOutputGoesToThePipeAndEndsWithTheChild)
{
    auto before = openDescriptors();
    {
        auto process = shell("printf 'hello %s' \"$0\"");
        auto pipe = std::make_shared<Pipe>();
        process->standardOutput = pipe;
        process->launch();
        EXPECT_EQ(pipe->fileHandleForWriting()->fileDescriptor(), -1);
        EXPECT_EQ(pipe->fileHandleForReading()->readToEnd(), Data(std::string_view("hello /bin/sh")));
        process->waitUntilExit();
        EXPECT_EQ(process->terminationStatus(), 0);
        EXPECT_EQ(process->terminationReason(), Process::TerminationReason::exit);
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(Process, TheTerminationHandlerReceivesANonZeroExitStatus)
{
    auto process = shell("exit 3");
    std::promise<int> status;
    process->terminationHandler = [&](const Process& ended) { status.set_value(ended.terminationStatus()); };
    process->standardOutput = FileHandle::forWritingAtPath("/dev/null");
    process->launch();
    EXPECT_EQ(status.get_future().get(), 3);
    EXPECT_FALSE(process->isRunning());
}

TEST(Process, AChildEndedByASignalReportsTheSignal)
{
    auto process = shell("kill -TERM $$");
    process->launch();
    process->waitUntilExit();
    EXPECT_EQ(process->terminationReason(), Process::TerminationReason::uncaughtSignal);
    EXPECT_EQ(process->terminationStatus(), SIGTERM);
}

TEST(Process, AMissingExecutableIsALaunchErrorAndNeverTerminates)
{
    auto before = openDescriptors();
    auto process = std::make_shared<Process>();
    process->executableURL = URL::fileURLWithPath("/nonexistent/tool");
    bool terminated = false;
    process->terminationHandler = [&](const Process&) { terminated = true; };
    process->standardOutput = std::make_shared<Pipe>();
    try {
        process->launch();
        FAIL() << "launching a missing executable succeeded";
    } catch (const LaunchError& error) {
        EXPECT_EQ(error.errnoCode(), ENOENT);
    }
    EXPECT_FALSE(process->isRunning());
    EXPECT_FALSE(terminated);
    process.reset();
    EXPECT_EQ(openDescriptors(), before);
}

TEST(Process, TheChildInheritsOnlyStandardDescriptors)
{
    // Even a descriptor that is not close-on-exec stays behind in the parent.
    int inheritable = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(inheritable, 0);
    auto process = shell("ls /proc/self/fd");
    auto pipe = std::make_shared<Pipe>();
    process->standardOutput = pipe;
    process->launch();
    std::optional<Data> listing = pipe->fileHandleForReading()->readToEnd();
    process->waitUntilExit();
    ::close(inheritable);
    ASSERT_TRUE(listing);
    // ls itself holds the directory it lists open, as descriptor 3.
    EXPECT_EQ(listing->decodedAsUTF8(), "0\n1\n2\n3\n");
}

TEST(ProcessDeathTest, LaunchingTwiceIsFatal)
{
    EXPECT_DEATH(
        {
            auto process = shell("exit 0");
            process->launch();
            process->launch();
        },
        "Process has been launched already");
}

} // namespace
