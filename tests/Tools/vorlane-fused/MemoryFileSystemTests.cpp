#include "Platform/Foundation/POSIXErrorCode.h"
#include "Support/ErrnoThrown.h"
#include "vorlane-fused/MemoryFileSystem.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using testing_support::errnoThrownBy;

TEST(MemoryFileSystem, MakingAFileCountsWhatItUsesAndNamesTakenInAnySpellingInvalidOrUnderAFileAreRefused)
{
    fused::MemoryFileSystem fileSystem;
    vl::fuse_kstatfs empty = fileSystem.statistics();
    std::uint64_t file = fileSystem.makeFile(1, "a", 0644, std::string(10000, 'x'));
    vl::fuse_kstatfs used = fileSystem.statistics();
    EXPECT_EQ(std::tuple(empty.bfree - used.bfree, empty.ffree - used.ffree, used.bavail),
        std::tuple(3u, 1u, used.bfree));
    vl::fuse_attr attributes = fileSystem.lookup(1, "a");
    EXPECT_EQ(std::tuple(attributes.size, attributes.nlink, S_ISREG(attributes.mode)),
        std::tuple(10000u, 1u, true));

    EXPECT_EQ(errnoThrownBy([&] { fileSystem.makeFile(1, "a", 0644, ""); }), posix::eexist);
    EXPECT_EQ(errnoThrownBy([&] { fileSystem.makeDirectory(file, "b", 0755); }), posix::enotdir);
    EXPECT_EQ(errnoThrownBy([&] { fileSystem.lookup(file, "b"); }), posix::enotdir);
    EXPECT_EQ(errnoThrownBy([&] { fileSystem.makeDirectory(1, "x/y", 0755); }), posix::einval);
    EXPECT_EQ(errnoThrownBy([&] { fileSystem.makeDirectory(1, "", 0755); }), posix::einval);
    EXPECT_EQ(errnoThrownBy([&] { fileSystem.makeDirectory(42, "z", 0755); }), posix::enoent);
    EXPECT_EQ(errnoThrownBy([&] { fileSystem.makeFile(1, "A", 0644, ""); }), 0);

    // A case-insensitive one finds a name in any case, and takes no second spelling of it.
    fused::MemoryFileSystem insensitive(true);
    std::uint64_t readMe = insensitive.makeFile(1, "ReadMe.txt", 0644, "hello");
    EXPECT_EQ(insensitive.lookup(1, "README.TXT").ino, readMe);
    EXPECT_EQ(errnoThrownBy([&] { insensitive.makeFile(1, "readme.TXT", 0644, ""); }), posix::eexist);
}

} // namespace
