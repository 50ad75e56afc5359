#include "Platform/Foundation/POSIXErrorCode.h"
#include "Support/ErrnoThrown.h"
#include "vorlane-fused/MemoryFileSystem.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

using testing_support::errnoThrownBy;

TEST(MemoryFileSystem, RefusesNamesThatAreTakenInAnyOfItsSpellingsInvalidOrUnderAFile)
{
    fused::MemoryFileSystem fileSystem;
    std::uint64_t file = fileSystem.makeFile(1, "a", 0644, "abc");
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

TEST(MemoryFileSystem, StatisticsCountFilesAndBlocksInUse)
{
    fused::MemoryFileSystem fileSystem;
    vl::fuse_kstatfs empty = fileSystem.statistics();
    fileSystem.makeFile(1, "big", 0644, std::string(10000, 'x'));
    vl::fuse_kstatfs used = fileSystem.statistics();
    EXPECT_EQ(empty.bfree - used.bfree, 3u);
    EXPECT_EQ(empty.ffree - used.ffree, 1u);
    EXPECT_EQ(used.bavail, used.bfree);
    vl::fuse_attr attributes = fileSystem.lookup(1, "big");
    EXPECT_EQ(attributes.size, 10000u);
    EXPECT_EQ(attributes.nlink, 1u);
    EXPECT_TRUE(S_ISREG(attributes.mode));
}

} // namespace
