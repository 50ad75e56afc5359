#include "vorlane-services/LaunchServices.h"

#include "Common/ServiceNames.h"
#include "Common/ServiceProtocol.h"
#include "Platform/Tasks/Spawn.h"
#include "Support/FakeDiskImageTool.h"
#include "Support/FakeHostLauncher.h"
#include "Support/FakeVolume.h"
#include "Support/FusePeer.h"
#include "Support/OpenDescriptors.h"
#include "Support/TestClient.h"
#include "Support/WaitUntil.h"
#include "VLFoundation/XPCEntries.h"
#include "vorlane-fused/DaemonProgram.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <future>
#include <sstream>

namespace {

using namespace std::chrono_literals;
using testing_support::FakeHost;
using testing_support::FakeVolume;
using testing_support::TestClient;
namespace keys = services::protocol;

// A volume request as the daemon sends it (the services only check that it has options).
xpc::XPCDictionary volumeRequest()
{
    xpc::XPCArray options;
    options.append(xpc::Object::string("memfs"));
    xpc::XPCDictionary message;
    message.setString(keys::operationKey, std::string(keys::volumeRequest));
    vl::setEntry(message, keys::optionsKey, std::optional(options));
    return message;
}

class LaunchServicesTest : public testing::Test {
protected:
    void SetUp() override
    {
        descriptorsBefore = testing_support::openDescriptors();
        launchServices.emplace(services::LaunchServices::Configuration {
            .diskImageTool = foundation::URL::fileURLWithPath(tool.toolPath()),
            .imageDirectory = tool.imageDirectory(),
            .imageSize = 1 << 20,
            .hostLauncher = launcher,
            .hostPatience = 7s,
        });
        launchServices->listen();
        running.emplace(tasks::spawn(launchServices->run()));
    }

    // Whatever a test did, stopping the services detaches every device and removes every image.
    void TearDown() override
    {
        stopServices();
        EXPECT_TRUE(tool.devices().empty());
        EXPECT_TRUE(tool.images().empty());
    }

    // Stops the services and waits until they have released everything.
    void stopServices()
    {
        if (!running)
            return;
        launchServices->stop();
        tasks::runBlocking(running->value());
        running.reset();
        launchServices.reset();
    }

    struct Granted {
        std::shared_ptr<FakeHost> host;
        std::unique_ptr<FakeVolume> volume;
        xpc::XPCDictionary grant;
    };

    // Asks for a volume as `daemon`, lets its host advertise it, and answers what each side got.
    Granted grantVolume(TestClient& daemon)
    {
        daemon.sendAwaitingReply(volumeRequest());
        std::shared_ptr<FakeHost> host = launcher->nextLaunch();
        auto volume = std::make_unique<FakeVolume>(host->devicePath);
        EXPECT_EQ(volume->advertise().boolean(keys::successKey), true);
        return Granted { host, std::move(volume), daemon.nextReply() };
    }

    testing_support::FakeDiskImageTool tool;
    std::shared_ptr<testing_support::FakeHostLauncher> launcher
        = std::make_shared<testing_support::FakeHostLauncher>();
    std::optional<services::LaunchServices> launchServices;
    std::optional<tasks::TaskHandle<void>> running;
    std::set<int> descriptorsBefore;
};

TEST_F(LaunchServicesTest, aVolumeRequestIsAnsweredWithTheEndpointOnceItsVolumeAdvertisesItself)
{
    // A volume nobody asked for is refused, also while a request waits for another.
    testing_support::DeviceImage stranger;
    FakeVolume unknown(stranger.path);
    EXPECT_EQ(unknown.advertise().boolean(keys::successKey), false);
    TestClient daemon(services::daemonServiceName());
    xpc::XPCDictionary request = volumeRequest();
    request.setString(keys::mountPointKey, "/mnt/volume");
    request.setBoolean(keys::volumeChecksAccessKey, true);
    daemon.sendAwaitingReply(request);
    std::shared_ptr<FakeHost> host = launcher->nextLaunch();
    ASSERT_TRUE(host->mount);
    EXPECT_EQ(host->mount->mountPoint, "/mnt/volume");
    EXPECT_TRUE(host->mount->volumeChecksAccess);

    // The host runs on a device whose image is named after the UUID in its first 16 bytes.
    FakeVolume volume(host->devicePath);
    std::string image = tool.imageDirectory() + "/" + volume.identifier().uuidString() + ".img";
    EXPECT_EQ(std::filesystem::file_size(image), 1u << 20);
    EXPECT_EQ(std::filesystem::read_symlink(host->devicePath), image);
    EXPECT_EQ(unknown.advertise().boolean(keys::successKey), false);
    EXPECT_EQ(daemon.pendingReplies(), 0u);

    EXPECT_EQ(volume.advertise().boolean(keys::successKey), true);
    xpc::XPCDictionary grant = daemon.nextReply();
    EXPECT_EQ(grant.boolean(keys::successKey), true);
    EXPECT_EQ(vl::entry<foundation::UUID>(grant, keys::volumeKey), volume.identifier());
    EXPECT_EQ(grant.string(keys::bsdNameKey), std::filesystem::path(host->devicePath).filename().string());
    // The daemon program's test below calls the volume through the grant's endpoint.

    // The volume has been handed out: advertising it again finds nobody waiting.
    EXPECT_EQ(volume.advertise().boolean(keys::successKey), false);
}

// A daemon that leaves after the handover may have died: its host gets a second to end on its own
// (it does when the kernel unmounted). A deactivated device's host gets the configured patience,
// asked with a reply or without. (A daemon leaving before the handover: the daemon program's tests.)
TEST_F(LaunchServicesTest, aHostIsStoppedWhenItsDaemonLeavesOrItsDeviceIsDeactivated)
{
    auto late = std::make_unique<TestClient>(services::daemonServiceName());
    Granted left = grantVolume(*late);
    late.reset();
    EXPECT_EQ(left.host->nextStop(), 1s);

    TestClient daemon(services::daemonServiceName());
    Granted deactivated = grantVolume(daemon);
    FakeVolume::deactivate(*deactivated.grant.string(keys::bsdNameKey), false);
    EXPECT_EQ(deactivated.host->nextStop(), 7s);
    EXPECT_TRUE(xpc::XPCDictionary::fromObject(daemon.nextEvent()).has_value());
}

TEST_F(LaunchServicesTest, malformedMessagesAreRefusedAndTheServicesCarryOn)
{
    std::string broker = services::brokerServiceName(), daemonService = services::daemonServiceName();
    testing_support::DeviceImage identity;
    FakeVolume volume(identity.path);
    // A copy of a well-formed message (dictionaries are shared handles) with `key` set to `value`,
    // or without it.
    auto changed = [&](std::string_view operation, std::string_view key, std::optional<xpc::Object> value) {
        xpc::XPCDictionary message
            = operation == keys::volumeRequest ? volumeRequest() : xpc::XPCDictionary();
        message.setString(keys::operationKey, std::string(operation));
        if (operation == keys::volumeAdvertise) {
            vl::setEntry(message, keys::volumeKey, std::optional(volume.identifier()));
            message.setValue(keys::endpointKey, volume.endpoint());
        }
        message.setValue(key, std::move(value));
        return message;
    };
    auto text = [](const std::string& value) { return std::optional(xpc::Object::string(value)); };
    const std::pair<std::string, xpc::XPCDictionary> refused[] = {
        { broker, {} },
        { daemonService, {} },
        { broker, changed(keys::volumeRequest, {}, std::nullopt) },
        { daemonService, changed("", keys::operationKey, xpc::Object::int64(1)) },
        { broker, changed(keys::volumeAdvertise, keys::volumeKey, std::nullopt) },
        { broker, changed(keys::volumeAdvertise, keys::volumeKey, text(volume.identifier().uuidString())) },
        { broker, changed(keys::volumeAdvertise, keys::endpointKey, std::nullopt) },
        { broker, changed(keys::volumeAdvertise, keys::endpointKey, text("endpoint")) },
        { daemonService, changed(keys::volumeRequest, keys::optionsKey, std::nullopt) },
        { daemonService, changed(keys::volumeRequest, keys::optionsKey, text("memfs")) },
        { daemonService, changed(keys::volumeRequest, keys::mountPointKey, text("mnt")) },
        { daemonService, changed(keys::volumeRequest, keys::mountPointKey, xpc::Object::int64(1)) },
        { daemonService,
            changed(keys::volumeRequest, keys::volumeChecksAccessKey, xpc::Object::boolean(true)) },
        { daemonService, changed(keys::deviceDeactivate, keys::bsdNameKey, std::nullopt) },
        { daemonService, changed(keys::deviceDeactivate, keys::bsdNameKey, xpc::Object::int64(3)) },
        { daemonService, changed(keys::deviceDeactivate, keys::bsdNameKey, text("loop999")) },
    };
    for (std::size_t index = 0; index < std::size(refused); ++index) {
        xpc::XPCDictionary reply
            = testing_support::exchangeWithService(refused[index].first, refused[index].second);
        EXPECT_TRUE(reply.boolean(keys::successKey) == false && reply.string(keys::errorKey))
            << "case " << index;
    }

    // Messages that await no reply are only logged; a volume request must await one.
    for (const auto& [service, message] : refused)
        testing_support::sendToService(service, message);
    TestClient daemon(daemonService);
    daemon.send(volumeRequest());

    // The services carry on.
    Granted granted = grantVolume(daemon);
    EXPECT_EQ(granted.grant.boolean(keys::successKey), true);
    stopServices();
    std::vector<std::string> log = tool.log();
    EXPECT_EQ(std::count_if(
                  log.begin(), log.end(), [](const std::string& line) { return line.starts_with("create"); }),
        1);
}

TEST_F(LaunchServicesTest, aVolumeThatCannotBeMadeOrEndsBeforeItAdvertisesIsRefusedAndWhatWasMadeIsUndone)
{
    TestClient daemon(services::daemonServiceName());
    auto refusal = [&](const std::function<void()>& meanwhile = [] {}) {
        daemon.sendAwaitingReply(volumeRequest());
        meanwhile();
        xpc::XPCDictionary reply = daemon.nextReply();
        EXPECT_EQ(reply.boolean(keys::successKey), false);
        // The refused volume is released before the next one is asked for: no two overlap.
        testing_support::waitUntil([&] { return tool.devices().empty() && tool.images().empty(); });
        return reply.string(keys::errorKey).value_or("");
    };
    EXPECT_NE(refusal([&] { launcher->nextLaunch()->exitOnItsOwn(3); }).find("exited with status 3"),
        std::string::npos);
    launcher->launchFailure = true;
    EXPECT_NE(refusal().find("launch fake host"), std::string::npos);
    tool.failing("attach");
    EXPECT_NE(refusal().find("attachFailed"), std::string::npos);
    tool.failing("create");
    EXPECT_NE(refusal().find("createFailed"), std::string::npos);

    stopServices();
    std::vector<std::string> log = tool.log();
    EXPECT_EQ(std::count_if(
                  log.begin(), log.end(), [](const std::string& line) { return line.starts_with("detach"); }),
        2);
}

// Stopping refuses new volumes and ends every host before its daemon hears that the device is
// gone; meanwhile the services still listen, so a host can report its device.
TEST_F(LaunchServicesTest, stopEndsEveryHostThenReleasesEveryVolumeAndEndsEveryConnection)
{
    {
        TestClient grantedDaemon(services::daemonServiceName());
        Granted granted = grantVolume(grantedDaemon);
        TestClient waitingDaemon(services::daemonServiceName());
        waitingDaemon.sendAwaitingReply(volumeRequest());
        std::shared_ptr<FakeHost> waitingHost = launcher->nextLaunch();

        granted.host->holdStops();
        launchServices->stop();
        EXPECT_EQ(granted.host->nextStop(), 0ns);
        EXPECT_EQ(waitingHost->nextStop(), 0ns);
        EXPECT_EQ(
            FakeVolume::deactivate(*granted.grant.string(keys::bsdNameKey), true)->boolean(keys::successKey),
            true);
        TestClient lateDaemon(services::daemonServiceName());
        EXPECT_EQ(lateDaemon.exchange(volumeRequest()).boolean(keys::successKey), false);
        granted.host->openStops();

        stopServices();
        xpc::XPCDictionary refusal = waitingDaemon.nextReply();
        EXPECT_EQ(refusal.boolean(keys::successKey), false);
        EXPECT_NE(refusal.string(keys::errorKey).value_or("").find("stopping"), std::string::npos);
        std::optional<xpc::XPCDictionary> gone = xpc::XPCDictionary::fromObject(grantedDaemon.nextEvent());
        ASSERT_TRUE(gone);
        EXPECT_EQ(gone->string(keys::operationKey), "device-gone");
        // The services ended both daemons' connections.
        EXPECT_NE(grantedDaemon.nextEvent().errorValue(), nullptr);
        EXPECT_NE(waitingDaemon.nextEvent().errorValue(), nullptr);
    }
    EXPECT_EQ(testing_support::openDescriptors(), descriptorsBefore);
    // Both names are free again.
    EXPECT_THROW(xpc::Connection::createMachService(services::brokerServiceName()), xpc::XPCRichError);
    EXPECT_THROW(xpc::Connection::createMachService(services::daemonServiceName()), xpc::XPCRichError);
}

// The daemon program run against the services on a thread of its own; stopped when the test
// leaves it, so that a test failing half-way does not wait for it without end.
struct RunningDaemon {
    explicit RunningDaemon(const std::vector<std::string>& arguments)
        : program(fused::parseDaemonArguments(arguments))
    {
    }
    ~RunningDaemon() { program.stop(); }

    // The program's exit status; one still running after the safety limit is stopped and fails the test.
    int exitStatus()
    {
        if (running.wait_for(testing_support::waitLimit) != std::future_status::ready) {
            ADD_FAILURE() << "the program did not end";
            program.stop();
        }
        return running.get();
    }

    fused::DaemonProgram program;
    std::ostringstream output;
    std::future<int> running = std::async(std::launch::async, [this] { return program.run(output); });
};

TEST_F(LaunchServicesTest, theDaemonProgramCallsItsVolumeWithItsOptionsAndServesItUntilTheDeviceGoesAway)
{
    RunningDaemon daemon({ "--case-insensitive" });
    std::shared_ptr<FakeHost> host = launcher->nextLaunch();
    FakeVolume volume(host->devicePath);
    EXPECT_EQ(volume.advertise().boolean(keys::successKey), true);
    FakeVolume::Call call = volume.nextCall();
    EXPECT_EQ(call.channelType, "Socket");
    ASSERT_TRUE(call.options && call.options->count() == 2 && call.socket);
    EXPECT_EQ(*call.options->at(0).stringValue(), "case-insensitive");
    // A daemon that never answers or never hangs up fails the read instead of hanging the test.
    timeval limit { 10, 0 };
    EXPECT_EQ(::setsockopt(call.socket->fileDescriptor(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
    testing_support::initializeFuse(call.socket->fileDescriptor());

    std::string bsdName = std::filesystem::path(host->devicePath).filename();
    EXPECT_EQ(FakeVolume::deactivate(bsdName, true)->boolean(keys::successKey), true);
    EXPECT_EQ(daemon.exitStatus(), 0);
    EXPECT_EQ(host->nextStop(), 7s);
    // The daemon shut its end down.
    char byte;
    EXPECT_EQ(::read(call.socket->fileDescriptor(), &byte, 1), 0);
}

// The program leaves the services before the handover: they stop its host at once and refuse
// its volume when it advertises itself.
TEST_F(LaunchServicesTest, aDaemonProgramStoppedWhileItWaitsForItsVolumeFailsAndItsHostIsStoppedAtOnce)
{
    RunningDaemon daemon({});
    std::shared_ptr<FakeHost> host = launcher->nextLaunch();
    FakeVolume volume(host->devicePath);
    daemon.program.stop();
    EXPECT_EQ(daemon.exitStatus(), 1);
    EXPECT_EQ(daemon.output.str(), "");
    EXPECT_EQ(host->nextStop(), 0ns);
    EXPECT_EQ(volume.advertise().boolean(keys::successKey), false);
}

} // namespace
