#include "vorlane-fskitd/MountedVolume.h"

#include "LoadedVolume.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <future>

namespace {

using namespace testing_support;

// Standard output and error of a shell command, which gives up after 20 seconds.
std::string run(const std::string& command)
{
    std::string output;
    FILE* pipe = popen(("timeout 20 " + command + " 2>&1").c_str(), "r");
    for (char buffer[256]; pipe && std::fgets(buffer, sizeof buffer, pipe);)
        output += buffer;
    if (pipe)
        pclose(pipe);
    return output;
}

bool isMounted(const std::string& path)
{
    return run("grep -c ' " + path + " fuse.vorlane ' /proc/self/mounts") == "1\n";
}

// The scripted volume mounted at a fresh directory and served on a thread of its own.
class MountedVolumeTest : public testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0)
            GTEST_SKIP() << "mounting needs root and /dev/fuse";
        char pattern[] = "/tmp/vorlane-mount-XXXXXX";
        mountPoint = mkdtemp(pattern);
        mounted = std::make_unique<host::MountedVolume>(loaded.volume(), loaded.root(), mountPoint);
        ASSERT_TRUE(isMounted(mountPoint));
        served = std::async(std::launch::async, [this] { mounted->serve(); });
    }
    void TearDown() override
    {
        if (served.valid())
            unmount();
        if (!mountPoint.empty())
            rmdir(mountPoint.c_str());
    }
    // Unmounts; the host has then closed and reclaimed everything.
    void unmount()
    {
        mounted->stop();
        ASSERT_EQ(served.wait_for(std::chrono::seconds(60)), std::future_status::ready);
        served.get();
        EXPECT_FALSE(isMounted(mountPoint));
        EXPECT_EQ(mounted->nodes().size(), 0u);
    }
    std::vector<FuseRequest> requests(vl::fuse_opcode opcode, std::uint64_t node) const
    {
        std::vector<FuseRequest> found;
        for (const FuseRequest& request : loaded.peer.requests())
            if (request.opcode() == opcode && request.nodeid() == node)
                found.push_back(request);
        return found;
    }

    LoadedVolume loaded;
    std::string mountPoint;
    std::unique_ptr<host::MountedVolume> mounted;
    std::future<void> served;
};

TEST_F(MountedVolumeTest, ServesStatChmodAndDarwinErrorsThroughTheKernelAndLeavesNoLookupBehind)
{
    EXPECT_EQ(run("stat -c '%i %F %a %h %u:%g %s %Y' " + mountPoint + "/a"),
        "5 regular file 640 1 501:20 1000 1700000000\n");
    EXPECT_EQ(run("stat -c '%i %F %a' " + mountPoint), "1 directory 755\n");
    EXPECT_NE(run("stat " + mountPoint + "/missing").find("No such file or directory"), std::string::npos);
    EXPECT_NE(run("stat " + mountPoint + "/darwin-only").find("No data available"), std::string::npos);
    EXPECT_EQ(run("chmod 604 " + mountPoint + "/a"), "");
    EXPECT_EQ(run("stat -f -c '%S %b %f %a' " + mountPoint), "4096 1000 500 250\n");
    unmount();

    // The daemon gets back every lookup it answered, and the root's own reference.
    std::map<std::uint64_t, std::int64_t> held { { 1, 1 } };
    bool chmodReachedTheDaemon = false;
    for (const FuseRequest& request : loaded.peer.requests()) {
        held[5] += request.opcode() == vl::FUSE_LOOKUP && request.bodyString() == "a";
        chmodReachedTheDaemon |= request.opcode() == vl::FUSE_SETATTR
            && request.bodyAs<vl::fuse_setattr_in>().mode == 0604
            && request.bodyAs<vl::fuse_setattr_in>().valid == vl::FATTR_MODE;
    }
    EXPECT_TRUE(chmodReachedTheDaemon);
    while (held[1] > 0 || held[5] > 0) {
        auto [node, count] = loaded.forgets.next();
        held[node] -= static_cast<std::int64_t>(count);
    }
    EXPECT_EQ(held, (std::map<std::uint64_t, std::int64_t> { { 1, 0 }, { 5, 0 } }));
}

TEST_F(MountedVolumeTest, KernelHandlesShareOneVolumeHandleAndWholeMebibytesAreWrittenInOneRequest)
{
    std::string a = mountPoint + "/a", b = mountPoint + "/b";
    // Two kernel handles open at once: one OPEN, and one RELEASE once both are closed.
    EXPECT_EQ(run("sh -c 'exec 3<" + b + "; exec 4<" + b + "; exec 3<&- 4<&-'"), "");
    EXPECT_EQ(loaded.releases.next(), 6u);
    EXPECT_EQ(requests(vl::FUSE_OPEN, 6).size(), 1u);
    EXPECT_EQ(requests(vl::FUSE_OPEN, 6)[0].bodyAs<vl::fuse_open_in>().flags, 0u);

    EXPECT_EQ(run("head -c 30 " + b), "abcdefghijklmnopqrstuvwxyzabcd");
    EXPECT_EQ(run("wc -c < " + b), "1000\n");
    EXPECT_EQ(run("dd if=/dev/zero of=" + a + " bs=1M count=1 conv=notrunc status=none"), "");
    EXPECT_EQ(run("sh -c 'printf hello > " + a + "'"), "");
    unmount();

    std::vector<FuseRequest> writes = requests(vl::FUSE_WRITE, 5);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].bodyAs<vl::fuse_write_in>().size, 1048576u);
    EXPECT_EQ(writes[1].bodyAs<vl::fuse_write_in>().offset, 0u);
    EXPECT_EQ(writes[1].bodyString(sizeof(vl::fuse_write_in)), "hello");
    // O_TRUNC reaches the volume as a size change on the open handle.
    bool truncated = false;
    for (const FuseRequest& request : requests(vl::FUSE_SETATTR, 5)) {
        auto in = request.bodyAs<vl::fuse_setattr_in>();
        truncated |= (in.valid & vl::FATTR_SIZE) && in.size == 0 && (in.valid & vl::FATTR_FH) && in.fh == 42;
    }
    EXPECT_TRUE(truncated);
    for (std::uint64_t node : { 5, 6 })
        EXPECT_EQ(requests(vl::FUSE_OPEN, node).size(), requests(vl::FUSE_RELEASE, node).size()) << node;
}

TEST_F(MountedVolumeTest, ListsEveryNameOnceAfterDotAndDotDotAcrossManyKernelReaddirs)
{
    std::string expected = ".\n..\n";
    for (int index = 0; index < 300; ++index)
        expected += "n" + std::to_string(index) + "\n";
    EXPECT_EQ(run("ls -f " + mountPoint), expected);
    unmount();
    EXPECT_EQ(requests(vl::FUSE_OPENDIR, 1).size(), requests(vl::FUSE_RELEASEDIR, 1).size());
}

// The caller's identity and umask, and the set-group-ID directory's group, reach the new items.
TEST_F(MountedVolumeTest, ItemsMadeThroughTheMountBelongToTheirCaller)
{
    std::string d = mountPoint + "/d";
    EXPECT_EQ(run("setpriv --reuid 1000 --regid 1000 --clear-groups sh -c 'umask 027; : > " + d
                  + "/new; mkdir " + d + "/sub'"),
        "");
    unmount();
    for (auto [node, mode] : { std::pair<std::uint64_t, std::uint32_t> { 9, 0640 }, { 10, 02750 } }) {
        std::vector<FuseRequest> changes = requests(vl::FUSE_SETATTR, node);
        ASSERT_FALSE(changes.empty()) << node;
        auto in = changes[0].bodyAs<vl::fuse_setattr_in>();
        EXPECT_EQ(std::tuple(in.uid, in.gid, in.mode), std::tuple(1000u, 20u, mode)) << node;
    }
    EXPECT_EQ(requests(vl::FUSE_CREATE, 7).at(0).bodyString(sizeof(vl::fuse_create_in)), "new");
    EXPECT_EQ(requests(vl::FUSE_OPEN, 9).size(),
        requests(vl::FUSE_RELEASE, 9).size() - 1); // the volume's own release
}

// A rename onto a name in use exchanges the names and removes the item swapped out; when that
// removal fails, the names are exchanged back and nothing has changed.
TEST_F(MountedVolumeTest, RenameOntoAnExistingNameReplacesItOrChangesNothing)
{
    EXPECT_EQ(run("mv " + mountPoint + "/a " + mountPoint + "/b"), "");
    EXPECT_NE(run("mv -T " + mountPoint + "/d " + mountPoint + "/e").find("Directory not empty"),
        std::string::npos);
    EXPECT_NE(run("rmdir " + mountPoint + "/d").find("Directory not empty"), std::string::npos);
    unmount();
    std::vector<std::tuple<std::uint32_t, std::string, std::string>> renames;
    for (const FuseRequest& request : requests(vl::FUSE_RENAME, 1)) {
        std::string from = request.bodyString(sizeof(vl::fuse_rename_in));
        renames.emplace_back(request.bodyAs<vl::fuse_rename_in>().flags, from,
            request.bodyString(sizeof(vl::fuse_rename_in) + from.size() + 1));
    }
    EXPECT_EQ(renames, (decltype(renames) { { 2, "a", "b" }, { 2, "d", "e" }, { 2, "e", "d" } }));
    ASSERT_EQ(requests(vl::FUSE_UNLINK, 1).size(), 1u);
    EXPECT_EQ(requests(vl::FUSE_UNLINK, 1)[0].bodyString(), "a");
    EXPECT_EQ(requests(vl::FUSE_RMDIR, 1).size(), 2u);
}

TEST_F(MountedVolumeTest, ExtendedAttributesAndTheVolumesNameThroughXattrCalls)
{
    std::string a = mountPoint + "/a";
    EXPECT_EQ(run("getfattr --absolute-names --only-values -n user.x " + a), "value");
    EXPECT_NE(run("getfattr --absolute-names -n user.y " + a).find("No such attribute"), std::string::npos);
    EXPECT_EQ(run("setfattr -n user.x -v 12 " + a), "");
    EXPECT_EQ(run("setfattr -n vorlane.volume-name -v Renamed " + mountPoint), "");
    EXPECT_EQ(run("getfattr --absolute-names --only-values -n vorlane.volume-name " + mountPoint), "Renamed");
    unmount();
    std::vector<FuseRequest> renamed = requests(vl::FUSE_SETVOLNAME, 0);
    ASSERT_EQ(renamed.size(), 1u);
    std::span<const std::byte> name = renamed[0].body();
    EXPECT_EQ(std::vector<std::byte>(name.begin(), name.end()), bytesOf(std::string_view("Renamed\0", 8)));
    std::vector<FuseRequest> set = requests(vl::FUSE_SETXATTR, 5);
    ASSERT_EQ(set.size(), 1u);
    EXPECT_EQ(set[0].bodyAs<vl::fuse_setxattr_in>().flags, 0u);
    EXPECT_EQ(set[0].bodyString(sizeof(vl::fuse_setxattr_in)), "user.x");
}

TEST(MountedVolume, AMountPointThatIsNoDirectoryIsRefusedInOneLine)
{
    LoadedVolume loaded;
    try {
        host::MountedVolume mounted(loaded.volume(), loaded.root(), loaded.device.path);
        ADD_FAILURE() << "mounted on a regular file";
    } catch (const host::KernelSession::MountError& error) {
        EXPECT_EQ(std::string(error.what()), "cannot mount at " + loaded.device.path + ": Not a directory");
    }
}

} // namespace
