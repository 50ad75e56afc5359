#include "Platform/Foundation/Process.h"

#include "Support/OpenDescriptors.h"
#include "Support/ShellProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using foundation::Data;
using foundation::Pipe;
using foundation::Process;
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
