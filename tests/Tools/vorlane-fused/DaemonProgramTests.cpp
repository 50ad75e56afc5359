#include "vorlane-fused/DaemonProgram.h"

#include "Common/ServiceProtocol.h"
#include "Platform/OS/Logger.h"
#include "Platform/Tasks/Spawn.h"
#include "Support/FakeDiskImageTool.h"
#include "Support/FakeHostLauncher.h"
#include "Support/FakeVolume.h"
#include "Support/FusePeer.h"
#include "vorlane-services/LaunchServices.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <filesystem>
#include <future>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using testing_support::FakeHost;
using testing_support::FakeVolume;
namespace keys = services::protocol;

// The daemon program against the launch services, whose hosts the test plays.
class DaemonProgramTest : public testing::Test {
protected:
    void SetUp() override
    {
        launchServices.listen();
        running.emplace(tasks::spawn(launchServices.run()));
    }

    void TearDown() override
    {
        launchServices.stop();
        tasks::runBlocking(running->value());
        EXPECT_TRUE(tool.devices().empty());
        EXPECT_TRUE(tool.images().empty());
    }

    std::future<int> start(std::vector<std::string> arguments)
    {
        program.emplace(fused::parseDaemonArguments(arguments));
        return std::async(std::launch::async, [this] { return program->run(output); });
    }

    // Plays the host of the program's volume up to the daemon's call; answers the call.
    FakeVolume::Call connect()
    {
        host = launcher->nextLaunch();
        volume.emplace(host->devicePath);
        EXPECT_EQ(volume->advertise().boolean(keys::successKey), true);
        FakeVolume::Call call = volume->nextCall();
        // A daemon that never answers or never hangs up fails the read instead of hanging the test.
        timeval limit { 10, 0 };
        if (call.socket)
            EXPECT_EQ(
                ::setsockopt(call.socket->fileDescriptor(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit),
                0);
        return call;
    }

    testing_support::FakeDiskImageTool tool;
    std::shared_ptr<testing_support::FakeHostLauncher> launcher
        = std::make_shared<testing_support::FakeHostLauncher>();
    services::LaunchServices launchServices { services::LaunchServices::Configuration {
        .diskImageTool = foundation::URL::fileURLWithPath(tool.toolPath()),
        .imageDirectory = tool.imageDirectory(),
        .hostLauncher = launcher,
        .hostPatience = 5s,
    } };
    std::optional<tasks::TaskHandle<void>> running;
    std::optional<fused::DaemonProgram> program;
    std::ostringstream output;
    std::shared_ptr<FakeHost> host;
    std::optional<FakeVolume> volume;
};

TEST_F(DaemonProgramTest, servesItsVolumeUntilTheVolumeEndsTheSession)
{
    std::future<int> exitStatus = start({ "--volume-rename", "memfs" });
    FakeVolume::Call call = connect();
    ASSERT_NE(call.socket, nullptr);
    EXPECT_EQ(call.channelType, "Socket");
    ASSERT_TRUE(call.options && call.options->count() == 2);
    EXPECT_EQ(*call.options->at(0).stringValue(), "volume-rename");
    EXPECT_EQ(*call.options->at(1).stringValue(), "memfs");

    vl::fuse_init_out init = testing_support::initializeFuse(call.socket->fileDescriptor());
    EXPECT_EQ(init.flags, 0x40000000u);
    EXPECT_TRUE(testing_support::destroyFuse(call.socket->fileDescriptor(), 2));
    EXPECT_EQ(exitStatus.get(), 0);
    EXPECT_EQ(output.str(), volume->identifier().uuidString() + "\n");
}

TEST_F(DaemonProgramTest, servesAPassthroughDirectoryAndLogsTheLookupsLeftAtTheEnd)
{
    std::string scratch = testing::TempDir() + "daemon-XXXXXX";
    std::filesystem::path directory = ::mkdtemp(scratch.data());
    std::filesystem::create_directory(directory / "inside");
    os::LogCapture log;
    std::future<int> exitStatus = start({ "passthrough:" + directory.string() });
    FakeVolume::Call call = connect();
    int socket = call.socket->fileDescriptor();
    testing_support::initializeFuse(socket);
    for (std::uint64_t unique : { 2, 3 }) {
        testing_support::writeFuseRequest(
            socket, vl::FUSE_LOOKUP, unique, 1, testing_support::bytesOf(std::string_view("inside", 7)));
        EXPECT_EQ(testing_support::readFuseReply(socket).header.error, 0);
    }
    vl::fuse_forget_in forget { 1 };
    testing_support::writeFuseRequest(socket, vl::FUSE_FORGET, 4, 2, testing_support::bytesOf(forget));
    EXPECT_TRUE(testing_support::destroyFuse(socket, 5));
    EXPECT_EQ(exitStatus.get(), 0);
    EXPECT_TRUE(log.contains(os::LogLevel::info, "session ended: 1 nodes looked up (1 lookups outstanding)"));
    std::filesystem::remove_all(directory);
}

TEST_F(DaemonProgramTest, theDeviceGoingAwayEndsTheSession)
{
    std::future<int> exitStatus = start({});
    FakeVolume::Call call = connect();
    testing_support::initializeFuse(call.socket->fileDescriptor());
    std::string bsdName = std::filesystem::path(host->devicePath).filename();
    EXPECT_EQ(FakeVolume::deactivate(bsdName, true)->boolean(keys::successKey), true);

    EXPECT_EQ(exitStatus.get(), 0);
    EXPECT_EQ(host->nextStop(), 5s);
    // The daemon shut its end down.
    char byte;
    EXPECT_EQ(::read(call.socket->fileDescriptor(), &byte, 1), 0);
}

TEST_F(DaemonProgramTest, aStopDuringTheSessionEndsItInOrder)
{
    std::future<int> exitStatus = start({});
    FakeVolume::Call call = connect();
    testing_support::initializeFuse(call.socket->fileDescriptor());
    program->stop();
    EXPECT_EQ(exitStatus.get(), 0);
    char byte;
    EXPECT_EQ(::read(call.socket->fileDescriptor(), &byte, 1), 0);
}

TEST_F(DaemonProgramTest, aStopWhileWaitingForTheVolumeFailsTheProgram)
{
    std::future<int> exitStatus = start({});
    host = launcher->nextLaunch();
    program->stop();
    EXPECT_EQ(exitStatus.get(), 1);
    EXPECT_EQ(output.str(), "");
    // The services released the volume nobody waits for any more.
    EXPECT_EQ(host->nextStop(), 0ns);
}

} // namespace
