#include "vorlane-fskitd/MountedVolume.h"

#include "LoadedVolume.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <future>
#include <sstream>

namespace {

using namespace testing_support;

// Standard output and error of a shell command, which gives up after 20 seconds.
std::string run(const std::string& command)
{
    std::string output;
    if (FILE* pipe = popen(("timeout 20 " + command + " 2>&1").c_str(), "r")) {
        char buffer[256];
        while (std::fgets(buffer, sizeof buffer, pipe))
            output += buffer;
        pclose(pipe);
    }
    return output;
}

bool isMounted(const std::string& path)
{
    std::ifstream mounts("/proc/self/mounts");
    std::stringstream text;
    text << mounts.rdbuf();
    return text.str().find(" " + path + " fuse.vorlane ") != std::string::npos;
}

TEST(MountedVolume, ServesStatChmodAndDarwinErrorsThroughTheKernelAndLeavesNoLookupBehind)
{
    if (geteuid() != 0 || access("/dev/fuse", R_OK | W_OK) != 0)
        GTEST_SKIP() << "mounting needs root and /dev/fuse";
    {
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

        // Every lookup the daemon answered has been forgotten; the root's own reference too.
        std::map<std::uint64_t, std::int64_t> held;
        for (const FuseRequest& request : loaded.peer.requests())
            if (request.opcode() == vl::FUSE_LOOKUP && request.bodyString() == "a")
                ++held[5];
        held[1] = 1;
        while (std::any_of(held.begin(), held.end(), [](auto& node) { return node.second > 0; })) {
            auto [node, count] = loaded.forgets.next();
            held[node] -= static_cast<std::int64_t>(count);
        }
        for (auto [node, count] : held)
            EXPECT_EQ(count, 0) << node;
        bool chmodReachedTheDaemon = false;
        for (const FuseRequest& request : loaded.peer.requests())
            chmodReachedTheDaemon |= request.opcode() == vl::FUSE_SETATTR &&
                                     request.bodyAs<vl::fuse_setattr_in>().mode == 0604 &&
                                     request.bodyAs<vl::fuse_setattr_in>().valid == vl::FATTR_MODE;
        EXPECT_TRUE(chmodReachedTheDaemon);
    }
}

TEST(MountedVolume, AMountPointThatIsNoDirectoryIsRefusedInOneLine)
{
    LoadedVolume loaded;
    for (const auto& [path, reason] : {std::pair<std::string, std::string>{loaded.device.path, "Not a directory"},
                                       {"/tmp/vorlane-no-such-directory", "No such file or directory"}}) {
        try {
            host::MountedVolume mounted(loaded.volume(), loaded.root(), path);
            ADD_FAILURE() << "mounted on " << path;
        } catch (const host::KernelSession::MountError& error) {
            EXPECT_EQ(std::string(error.what()), "cannot mount at " + path + ": " + reason);
        }
    }
}

} // namespace
