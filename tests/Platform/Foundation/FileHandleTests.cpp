#include "Platform/Foundation/FileHandle.h"
#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/Pipe.h"

#include "Support/OpenDescriptors.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

using foundation::Data;
using foundation::FileHandle;
using foundation::Pipe;
using foundation::POSIXError;
using testing_support::openDescriptors;

TEST(FileHandle, AHandleThatDoesNotOwnItsDescriptorLeavesItOpen)
{
    int borrowed = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    {
        FileHandle handle(borrowed, false);
    }
    EXPECT_TRUE(openDescriptors().contains(borrowed));
    ::close(borrowed);
}

// Reading a handle open for writing only fails as the system's read does; once closed, every
// use of the handle is EBADF.
TEST(FileHandle, FailedReadsAndAnExplicitCloseAreReportedAsPOSIXErrors)
{
    auto before = openDescriptors();
    auto handle = FileHandle::forWritingAtPath("/dev/null");
    ASSERT_TRUE(handle);
    EXPECT_THROW(handle->readToEnd(), POSIXError);
    handle->close();
    EXPECT_EQ(handle->fileDescriptor(), -1);
    EXPECT_EQ(openDescriptors(), before);
    try {
        handle->close();
        FAIL() << "a second close succeeded";
    } catch (const POSIXError& error) {
        EXPECT_EQ(error.errnoCode(), EBADF);
    }
    EXPECT_THROW(handle->readToEnd(), POSIXError);
    EXPECT_THROW(handle->write(Data(std::string_view("x"))), POSIXError);
}

TEST(FileHandle, OpeningAMissingPathGivesNoHandle)
{
    EXPECT_EQ(FileHandle::forWritingAtPath("/nonexistent-directory/file"), nullptr);
    EXPECT_EQ(FileHandle::forReadingAtPath("/nonexistent-directory/file"), nullptr);
}

TEST(Pipe, BothEndsAreCloseOnExec)
{
    Pipe pipe;
    EXPECT_TRUE(::fcntl(pipe.fileHandleForReading()->fileDescriptor(), F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(::fcntl(pipe.fileHandleForWriting()->fileDescriptor(), F_GETFD) & FD_CLOEXEC);
}

} // namespace
