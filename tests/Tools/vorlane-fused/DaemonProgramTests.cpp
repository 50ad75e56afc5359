#include "vorlane-fused/DaemonProgram.h"

#include "Common/ServiceProtocol.h"
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

    // The program's exit status; one still running after a minute is stopped and fails the test.
    int exitStatusOf(std::future<int>& exitStatus)
    {
        if (exitStatus.wait_for(60s) != std::future_status::ready) {
            ADD_FAILURE() << "the program did not end";
            program->stop();
        }
        return exitStatus.get();
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
        if (call.socket) {
            EXPECT_EQ(
                ::setsockopt(call.socket->fileDescriptor(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit),
                0);
        }
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

TEST_F(DaemonProgramTest, theDeviceGoingAwayEndsTheSession)
{
    std::future<int> exitStatus = start({});
    FakeVolume::Call call = connect();
    testing_support::initializeFuse(call.socket->fileDescriptor());
    std::string bsdName = std::filesystem::path(host->devicePath).filename();
    EXPECT_EQ(FakeVolume::deactivate(bsdName, true)->boolean(keys::successKey), true);

    EXPECT_EQ(exitStatusOf(exitStatus), 0);
    EXPECT_EQ(host->nextStop(), 5s);
    // The daemon shut its end down.
    char byte;
    EXPECT_EQ(::read(call.socket->fileDescriptor(), &byte, 1), 0);
}

TEST_F(DaemonProgramTest, aStopWhileWaitingForTheVolumeFailsTheProgram)
{
    std::future<int> exitStatus = start({});
    host = launcher->nextLaunch();
    program->stop();
    EXPECT_EQ(exitStatusOf(exitStatus), 1);
    EXPECT_EQ(output.str(), "");
    // The services released the volume nobody waits for any more.
    EXPECT_EQ(host->nextStop(), 0ns);
}

} // namespace
