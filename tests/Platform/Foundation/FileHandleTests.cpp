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

TEST(FileHandle, ReleasingTheHandleClosesItsDescriptorUnlessItDoesNotOwnIt)
{
    auto before = openDescriptors();
    int descriptor;
    {
        FileHandle handle(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        descriptor = handle.fileDescriptor();
        EXPECT_TRUE(openDescriptors().contains(descriptor));
    }
    EXPECT_EQ(openDescriptors(), before);

    int borrowed = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    {
        FileHandle handle(borrowed, false);
    }
    EXPECT_TRUE(openDescriptors().contains(borrowed));
    ::close(borrowed);
    EXPECT_EQ(openDescriptors(), before);
}

TEST(FileHandle, AnExplicitCloseReportsAClosedHandleAsEBADF)
{
    auto before = openDescriptors();
    auto handle = FileHandle::forWritingAtPath("/dev/null");
    ASSERT_TRUE(handle);
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

TEST(FileHandle, ReadingToTheEndGivesEverythingWrittenOrNothingAtAll)
{
    auto before = openDescriptors();
    {
        Pipe pipe;
        pipe.fileHandleForWriting()->write(Data(std::string_view("first ")));
        pipe.fileHandleForWriting()->write(Data(std::string_view("second")));
        pipe.fileHandleForWriting()->close();
        EXPECT_EQ(pipe.fileHandleForReading()->readToEnd(), Data(std::string_view("first second")));

        Pipe empty;
        empty.fileHandleForWriting()->close();
        EXPECT_EQ(empty.fileHandleForReading()->readToEnd(), std::nullopt);

        auto writeOnly = FileHandle::forWritingAtPath("/dev/null");
        EXPECT_THROW(writeOnly->readToEnd(), POSIXError);
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(Pipe, BothEndsAreCloseOnExec)
{
    Pipe pipe;
    EXPECT_TRUE(::fcntl(pipe.fileHandleForReading()->fileDescriptor(), F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(::fcntl(pipe.fileHandleForWriting()->fileDescriptor(), F_GETFD) & FD_CLOEXEC);
}

} // namespace
