#include "vorlane-fused/PassthroughFileSystem.h"

#include "Platform/Foundation/POSIXErrorCode.h"
#include "Support/ErrnoThrown.h"
#include "Support/OpenDescriptors.h"

#include <gtest/gtest.h>

#include <fstream>
#include <span>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

using testing_support::errnoThrownBy;

// A scratch directory holding "file" ("hello"), its second name "same", "dir" and "link" -> file.
class PassthroughTest : public testing::Test {
protected:
    PassthroughTest()
    {
        std::string pattern = testing::TempDir() + "passthrough-XXXXXX";
        root = ::mkdtemp(pattern.data());
        std::ofstream(root / "file") << "hello";
        std::filesystem::create_hard_link(root / "file", root / "same");
        std::filesystem::create_directory(root / "dir");
        std::filesystem::create_symlink("file", root / "link");
        fileSystem.emplace(root);
    }
    ~PassthroughTest() override { std::filesystem::remove_all(root); }

    struct stat onHost(const std::string& name)
    {
        struct stat status { };
        EXPECT_EQ(::lstat((root / name).c_str(), &status), 0) << name;
        return status;
    }

    std::filesystem::path root;
    std::optional<fused::PassthroughFileSystem> fileSystem;
};

TEST_F(PassthroughTest, lookupAnswersTheRealAttributesUnderOneNodeIdPerFile)
{
    std::set<int> descriptorsBefore = testing_support::openDescriptors();
    vl::fuse_attr file = fileSystem->lookup(1, "file");
    struct stat real = onHost("file");
    EXPECT_EQ(std::tie(file.mode, file.uid, file.gid, file.nlink, file.size, file.blocks),
        std::tuple(
            real.st_mode, real.st_uid, real.st_gid, 2u, 5u, static_cast<std::uint64_t>(real.st_blocks)));
    EXPECT_EQ(std::tie(file.mtime, file.mtimensec), std::tuple(real.st_mtim.tv_sec, real.st_mtim.tv_nsec));
    EXPECT_EQ(fileSystem->lookup(1, "same").ino, file.ino);
    vl::fuse_attr link = fileSystem->lookup(1, "link");
    EXPECT_TRUE(S_ISLNK(link.mode));
    EXPECT_NE(link.ino, file.ino);
    EXPECT_EQ(fileSystem->attributes(1).mode, onHost(".").st_mode);
    EXPECT_EQ(fileSystem->lookupTally(), (fused::LookupTally { 2, 3 }));

    // Forgetting every lookup drops the node and closes its descriptor; its id is not reused.
    fileSystem->forget(file.ino, 1);
    fileSystem->forget(link.ino, 5);
    fileSystem->forget(1, 1);
    fileSystem->forget(404, 1);
    EXPECT_EQ(fileSystem->lookupTally(), (fused::LookupTally { 1, 1 }));
    fileSystem->forget(file.ino, 1);
    EXPECT_EQ(fileSystem->lookupTally(), fused::LookupTally {});
    EXPECT_EQ(testing_support::openDescriptors(), descriptorsBefore);

    // A forgotten node is found again where it was last seen ("same"), and only there.
    EXPECT_EQ(fileSystem->attributes(file.ino).nlink, 2u);
    std::filesystem::rename(root / "same", root / "other");
    EXPECT_EQ(errnoThrownBy([&] { fileSystem->attributes(file.ino); }), posix::enoent);
    // A file keeps its id for the daemon's life.
    EXPECT_EQ(fileSystem->lookup(1, "file").ino, file.ino);

    struct statvfs host { };
    ASSERT_EQ(::statvfs(root.c_str(), &host), 0);
    vl::fuse_kstatfs statistics = fileSystem->statistics();
    EXPECT_EQ(std::tie(statistics.blocks, statistics.bsize, statistics.namelen),
        std::tuple(host.f_blocks, host.f_bsize, host.f_namemax));
}

TEST_F(PassthroughTest, failuresCarryDarwinErrnos)
{
    std::uint64_t file = fileSystem->lookup(1, "file").ino;
    EXPECT_EQ(errnoThrownBy([&] { fileSystem->lookup(1, "missing"); }), posix::enoent);
    EXPECT_EQ(errnoThrownBy([&] { fileSystem->lookup(file, "x"); }), posix::enotdir);
    EXPECT_EQ(errnoThrownBy([&] { fileSystem->lookup(1, std::string(300, 'n')); }), posix::enametoolong);
    for (std::string_view name : { ".", "..", "dir/../file" })
        EXPECT_EQ(errnoThrownBy([&] { fileSystem->lookup(1, name); }), posix::einval) << name;
    EXPECT_EQ(fileSystem->lookupTally(), (fused::LookupTally { 1, 1 }));
    for (auto [path, said] :
        { std::pair(root / "missing", " does not exist"), std::pair(root / "file", " is not a directory") }) {
        try {
            fused::PassthroughFileSystem refused(path);
            ADD_FAILURE() << path;
        } catch (const fused::BackendError& error) {
            EXPECT_EQ(error.what(), "passthrough directory " + path.string() + said);
        }
    }
}

TEST_F(PassthroughTest, setAttributesReachTheRealFileAndNeverFollowALink)
{
    std::uint64_t file = fileSystem->lookup(1, "file").ino;
    std::uint64_t link = fileSystem->lookup(1, "link").ino;
    std::uint64_t directory = fileSystem->lookup(1, "dir").ino;
    vl::fuse_attr changed = fileSystem->setAttributes(file,
        { .mode = 0640, .size = 2, .accessTime = timespec { 100, 1 }, .modifyTime = timespec { 200, 2 } });
    struct stat real = onHost("file");
    EXPECT_EQ(std::tie(real.st_mode, real.st_size, real.st_atim.tv_sec, real.st_atim.tv_nsec,
                  real.st_mtim.tv_sec, real.st_mtim.tv_nsec),
        std::tuple(S_IFREG | 0640u, 2, 100, 1, 200, 2));
    EXPECT_EQ(std::tie(changed.ino, changed.mode, changed.size, changed.mtime),
        std::tuple(file, real.st_mode, 2u, 200));

    fileSystem->setAttributes(link, { .modifyTime = timespec { 300, 0 } });
    EXPECT_EQ(onHost("link").st_mtim.tv_sec, 300);
    EXPECT_EQ(onHost("file").st_mtim.tv_sec, 200);
    // Linux keeps no mode of a link: a change of it is ignored, and never reaches the target.
    EXPECT_EQ(fileSystem->setAttributes(link, { .mode = 0600 }).mode, onHost("link").st_mode);
    EXPECT_EQ(onHost("file").st_mode, S_IFREG | 0640u);
    EXPECT_EQ(errnoThrownBy([&] { fileSystem->setAttributes(link, { .size = 0 }); }), posix::einval);
    EXPECT_EQ(errnoThrownBy([&] { fileSystem->setAttributes(directory, { .size = 0 }); }), posix::eisdir);
    EXPECT_EQ(errnoThrownBy([&] { fileSystem->setAttributes(file, { .flags = 0x8000 }); }), posix::enotsup);
    EXPECT_EQ(onHost("file").st_size, 2);

    if (::geteuid() != 0)
        GTEST_SKIP() << "changing a file's owner needs root";
    changed = fileSystem->setAttributes(link, { .uid = 1234, .gid = 5678 });
    EXPECT_EQ(std::tuple(changed.uid, changed.gid, onHost("link").st_uid), std::tuple(1234u, 5678u, 1234u));
    EXPECT_EQ(onHost("file").st_uid, 0u);
}

TEST_F(PassthroughTest, aReadOnlyFirstOpenServesLaterWritesWhenTheFileAllowsThem)
{
    std::uint64_t file = fileSystem->lookup(1, "file").ino;
    std::uint64_t handle = fileSystem->open(file, 0);
    const std::string data = "XY";
    EXPECT_EQ(fileSystem->write(file, handle, 7, std::as_bytes(std::span(data))), 2u);
    std::string read(16, '?');
    std::size_t count = fileSystem->read(file, handle, 0, std::as_writable_bytes(std::span(read)));
    EXPECT_EQ(read.substr(0, count), std::string("hello\0\0XY", 9));
    fileSystem->synchronize(file, handle, false, true);
    fileSystem->release(file, handle, false);
    EXPECT_EQ(
        errnoThrownBy([&] { fileSystem->read(file, handle, 0, std::as_writable_bytes(std::span(read))); }),
        posix::ebadf);

    // Linux refusing reading and writing together leaves the mode asked for.
    std::filesystem::permissions(root / "file", std::filesystem::perms::owner_read);
    handle = fileSystem->open(file, 0);
    int written = errnoThrownBy([&] { fileSystem->write(file, handle, 0, std::as_bytes(std::span(data))); });
    EXPECT_EQ(written, ::geteuid() == 0 ? 0 : posix::ebadf);
    fileSystem->release(file, handle, false);

    std::uint64_t link = fileSystem->lookup(1, "link").ino;
    EXPECT_EQ(errnoThrownBy([&] { fileSystem->open(link, 0); }), posix::eloop);
    fileSystem->release(link, fileSystem->open(link, 0x200000), false);
    std::uint64_t directory = fileSystem->openDirectory(1);
    EXPECT_EQ(errnoThrownBy([&] { fileSystem->release(1, directory, false); }), posix::ebadf);
    fileSystem->synchronize(1, directory, true, false);
    fileSystem->release(1, directory, true);
    EXPECT_EQ(errnoThrownBy([&] { fileSystem->openDirectory(file); }), posix::enotdir);
}

TEST_F(PassthroughTest, extendedAttributesOfALinkAreTheLinksOwnAsLinuxAllowsThem)
{
    std::uint64_t link = fileSystem->lookup(1, "link").ino;
    const std::string value = "v";
    EXPECT_EQ(
        errnoThrownBy([&] { fileSystem->setXattr(link, "user.a", std::as_bytes(std::span(value)), 0); }),
        posix::eperm);
    EXPECT_EQ(errnoThrownBy([&] { fileSystem->xattr(link, "user.a", {}); }), posix::enoattr);
    if (::geteuid() != 0)
        GTEST_SKIP() << "trusted.* attributes need root";
    fileSystem->setXattr(link, "trusted.a", std::as_bytes(std::span(value)), 2);
    EXPECT_EQ(fileSystem->xattr(link, "trusted.a", {}), 1u);
    EXPECT_EQ(errnoThrownBy([&] { fileSystem->xattr(fileSystem->lookup(1, "file").ino, "trusted.a", {}); }),
        posix::enoattr);
    fileSystem->removeXattr(link, "trusted.a");
    EXPECT_EQ(fileSystem->listXattrs(link, {}), 0u);
}

} // namespace
