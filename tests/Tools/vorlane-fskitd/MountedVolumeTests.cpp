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

bool isMounted(const std::string& path) { return run("grep -c ' " + path + " fuse.vorlane ' /proc/self/mounts") == "1\n"; }

TEST(MountedVolume, ServesStatChmodAndDarwinErrorsThroughTheKernelAndLeavesNoLookupBehind)
{
    if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0)
        GTEST_SKIP() << "mounting needs root and /dev/fuse";
    LoadedVolume loaded;
    char pattern[] = "/tmp/vorlane-mount-XXXXXX";
    std::string mountPoint = mkdtemp(pattern);
    host::MountedVolume mounted(loaded.volume(), loaded.root(), mountPoint);
    ASSERT_TRUE(isMounted(mountPoint));
    std::future<void> served = std::async(std::launch::async, [&mounted] { mounted.serve(); });

    EXPECT_EQ(run("stat -c '%i %F %a %h %u:%g %s %Y' " + mountPoint + "/a"), "5 regular file 640 1 501:20 1000 1700000000\n");
    EXPECT_EQ(run("stat -c '%i %F %a' " + mountPoint), "1 directory 755\n");
    EXPECT_NE(run("stat " + mountPoint + "/missing").find("No such file or directory"), std::string::npos);
    EXPECT_NE(run("stat " + mountPoint + "/darwin-only").find("No data available"), std::string::npos);
    EXPECT_EQ(run("chmod 604 " + mountPoint + "/a"), "");
    EXPECT_EQ(run("stat -f -c '%S %b %f %a' " + mountPoint), "4096 1000 500 250\n");

    mounted.stop();
    ASSERT_EQ(served.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    served.get();
    EXPECT_FALSE(isMounted(mountPoint));
    EXPECT_EQ(mounted.nodes().size(), 0u);
    rmdir(mountPoint.c_str());

    // The daemon gets back every lookup it answered, and the root's own reference.
    std::map<std::uint64_t, std::int64_t> held{{1, 1}};
    bool chmodReachedTheDaemon = false;
    for (const FuseRequest& request : loaded.peer.requests()) {
        held[5] += request.opcode() == vl::FUSE_LOOKUP && request.bodyString() == "a";
        chmodReachedTheDaemon |= request.opcode() == vl::FUSE_SETATTR &&
                                 request.bodyAs<vl::fuse_setattr_in>().mode == 0604 &&
                                 request.bodyAs<vl::fuse_setattr_in>().valid == vl::FATTR_MODE;
    }
    EXPECT_TRUE(chmodReachedTheDaemon);
    while (held[1] > 0 || held[5] > 0) {
        auto [node, count] = loaded.forgets.next();
        held[node] -= static_cast<std::int64_t>(count);
    }
    EXPECT_EQ(held, (std::map<std::uint64_t, std::int64_t>{{1, 0}, {5, 0}}));
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
