#include "vorlane-services/LaunchServices.h"

#include "Common/ServiceNames.h"
#include "Common/ServiceProtocol.h"
#include "Platform/Tasks/Spawn.h"
#include "Support/FakeDiskImageTool.h"
#include "Support/FakeHostLauncher.h"
#include "Support/FakeVolume.h"
#include "Support/OpenDescriptors.h"
#include "Support/TestClient.h"
#include "VLFoundation/XPCEntries.h"
#include "vorlane-fused/VolumeConnection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace {

using namespace std::chrono_literals;
using testing_support::FakeHost;
using testing_support::FakeVolume;
using testing_support::TestClient;
namespace keys = services::protocol;

xpc::XPCArray optionsOf(std::initializer_list<const char*> words)
{
    xpc::XPCArray array;
    for (const char* word : words)
        array.append(xpc::Object::string(word));
    return array;
}

xpc::XPCDictionary volumeRequest(std::optional<xpc::XPCArray> options)
{
    xpc::XPCDictionary message;
    message.setString(keys::operationKey, std::string(keys::volumeRequest));
    vl::setEntry(message, keys::optionsKey, options);
    return message;
}

std::string lastComponent(const std::string& path)
{
    return std::filesystem::path(path).filename().string();
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
    Granted grantVolume(TestClient& daemon, xpc::XPCArray options = optionsOf({ "memfs" }))
    {
        daemon.sendAwaitingReply(volumeRequest(options));
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
    TestClient daemon(services::daemonServiceName());
    xpc::XPCDictionary request = volumeRequest(optionsOf({ "case-insensitive", "memfs" }));
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
    EXPECT_EQ(daemon.pendingReplies(), 0u);

    EXPECT_EQ(volume.advertise().boolean(keys::successKey), true);
    xpc::XPCDictionary grant = daemon.nextReply();
    EXPECT_EQ(grant.boolean(keys::successKey), true);
    EXPECT_EQ(vl::entry<foundation::UUID>(grant, keys::volumeKey), volume.identifier());
    EXPECT_EQ(grant.string(keys::bsdNameKey), lastComponent(host->devicePath));
    std::optional<xpc::Object> endpoint = grant.value(keys::endpointKey);
    ASSERT_TRUE(endpoint && endpoint->type() == xpc::Type::endpoint);

    // The daemon calls the volume through the endpoint with its options, in order (that the
    // socket it gets carries FUSE is the daemon program's test).
    EXPECT_NE(
        tasks::runBlocking(fused::connectToVolume(*endpoint, { "case-insensitive", "memfs" }, 60s)), nullptr);
    FakeVolume::Call call = volume.nextCall();
    EXPECT_EQ(call.channelType, "Socket");
    ASSERT_TRUE(call.options && call.options->count() == 2);
    EXPECT_EQ(*call.options->at(0).stringValue(), "case-insensitive");

    // The volume has been handed out: advertising it again finds nobody waiting.
    EXPECT_EQ(volume.advertise().boolean(keys::successKey), false);
}

TEST_F(LaunchServicesTest, anAdvertisementForAVolumeNobodyAskedForIsRefused)
{
    testing_support::DeviceImage stranger;
    FakeVolume unknown(stranger.path);
    xpc::XPCDictionary refusal = unknown.advertise();
    EXPECT_EQ(refusal.boolean(keys::successKey), false);

    // With a request pending, a stranger's advertisement does not take it.
    TestClient daemon(services::daemonServiceName());
    daemon.sendAwaitingReply(volumeRequest(optionsOf({ "memfs" })));
    std::shared_ptr<FakeHost> host = launcher->nextLaunch();
    EXPECT_EQ(unknown.advertise().boolean(keys::successKey), false);
    EXPECT_EQ(daemon.pendingReplies(), 0u);

    FakeVolume volume(host->devicePath);
    EXPECT_EQ(volume.advertise().boolean(keys::successKey), true);
    EXPECT_EQ(vl::entry<foundation::UUID>(daemon.nextReply(), keys::volumeKey), volume.identifier());
}

TEST_F(LaunchServicesTest, aDeactivationWithoutReplyIsCarriedOutToo)
{
    TestClient daemon(services::daemonServiceName());
    Granted granted = grantVolume(daemon);
    FakeVolume::deactivate(*granted.grant.string(keys::bsdNameKey), false);
    EXPECT_EQ(granted.host->nextStop(), 7s);
    EXPECT_TRUE(xpc::XPCDictionary::fromObject(daemon.nextEvent()).has_value());
}

TEST_F(LaunchServicesTest, stoppingEndsAHostBeforeItsDaemonHearsAndKeepsListeningMeanwhile)
{
    TestClient daemon(services::daemonServiceName());
    Granted granted = grantVolume(daemon);
    std::string bsdName = *granted.grant.string(keys::bsdNameKey);
    granted.host->holdStops();
    launchServices->stop();
    EXPECT_EQ(granted.host->nextStop(), 0ns);

    // While the host ends, the services still listen: it can report its device, while new
    // volumes are refused.
    EXPECT_EQ(FakeVolume::deactivate(bsdName, true)->boolean(keys::successKey), true);
    TestClient lateDaemon(services::daemonServiceName());
    EXPECT_EQ(lateDaemon.exchange(volumeRequest(optionsOf({ "memfs" }))).boolean(keys::successKey), false);
    granted.host->openStops();
    std::optional<xpc::XPCDictionary> gone = xpc::XPCDictionary::fromObject(daemon.nextEvent());
    ASSERT_TRUE(gone);
    EXPECT_EQ(gone->string(keys::operationKey), "device-gone");
}

TEST_F(LaunchServicesTest, malformedMessagesAreRefusedAndTheServicesCarryOn)
{
    auto refusedBy = [](const std::string& service, const xpc::XPCDictionary& message) {
        xpc::XPCDictionary reply = testing_support::exchangeWithService(service, message);
        return reply.boolean(keys::successKey) == false && reply.string(keys::errorKey).has_value();
    };
    std::string broker = services::brokerServiceName();
    std::string daemonService = services::daemonServiceName();
    testing_support::DeviceImage identity;
    FakeVolume volume(identity.path);

    xpc::XPCDictionary empty;
    EXPECT_TRUE(refusedBy(broker, empty));
    EXPECT_TRUE(refusedBy(daemonService, empty));
    EXPECT_TRUE(refusedBy(broker, volumeRequest(optionsOf({ "memfs" }))));

    xpc::XPCDictionary operationAsNumber;
    operationAsNumber.setInt64(keys::operationKey, 1);
    EXPECT_TRUE(refusedBy(daemonService, operationAsNumber));

    auto advertisement = [&](bool withVolume, bool volumeAsText, bool withEndpoint, bool endpointAsText) {
        xpc::XPCDictionary message;
        message.setString(keys::operationKey, std::string(keys::volumeAdvertise));
        if (withVolume && volumeAsText)
            message.setString(keys::volumeKey, volume.identifier().uuidString());
        else if (withVolume)
            vl::setEntry(message, keys::volumeKey, std::optional(volume.identifier()));
        if (withEndpoint && endpointAsText)
            message.setString(keys::endpointKey, "endpoint");
        else if (withEndpoint)
            message.setValue(keys::endpointKey, volume.endpoint());
        return message;
    };
    EXPECT_TRUE(refusedBy(broker, advertisement(false, false, true, false)));
    EXPECT_TRUE(refusedBy(broker, advertisement(true, true, true, false)));
    EXPECT_TRUE(refusedBy(broker, advertisement(true, false, false, false)));
    EXPECT_TRUE(refusedBy(broker, advertisement(true, false, true, true)));

    xpc::XPCDictionary optionsAsText = volumeRequest(std::nullopt);
    optionsAsText.setString(keys::optionsKey, "memfs");
    EXPECT_TRUE(refusedBy(daemonService, volumeRequest(std::nullopt)));
    EXPECT_TRUE(refusedBy(daemonService, optionsAsText));
    xpc::XPCDictionary relativeMountPoint = volumeRequest(optionsOf({ "memfs" }));
    relativeMountPoint.setString(keys::mountPointKey, "mnt");
    xpc::XPCDictionary mountPointAsNumber = volumeRequest(optionsOf({ "memfs" }));
    mountPointAsNumber.setInt64(keys::mountPointKey, 1);
    EXPECT_TRUE(refusedBy(daemonService, relativeMountPoint));
    EXPECT_TRUE(refusedBy(daemonService, mountPointAsNumber));
    xpc::XPCDictionary accessCheckWithoutMount = volumeRequest(optionsOf({ "memfs" }));
    accessCheckWithoutMount.setBoolean(keys::volumeChecksAccessKey, true);
    EXPECT_TRUE(refusedBy(daemonService, accessCheckWithoutMount));

    xpc::XPCDictionary deactivation;
    deactivation.setString(keys::operationKey, std::string(keys::deviceDeactivate));
    EXPECT_TRUE(refusedBy(daemonService, deactivation));
    deactivation.setInt64(keys::bsdNameKey, 3);
    EXPECT_TRUE(refusedBy(daemonService, deactivation));
    deactivation.setString(keys::bsdNameKey, "loop999");
    EXPECT_TRUE(refusedBy(daemonService, deactivation));

    // Messages that await no reply are only logged; a volume request must await one.
    TestClient daemon(daemonService);
    daemon.send(empty);
    daemon.send(optionsAsText);
    daemon.send(volumeRequest(optionsOf({ "memfs" })));
    testing_support::sendToService(broker, advertisement(true, true, false, false));

    // The services carry on.
    Granted granted = grantVolume(daemon);
    EXPECT_EQ(granted.grant.boolean(keys::successKey), true);
    stopServices();
    std::vector<std::string> log = tool.log();
    EXPECT_EQ(std::count_if(
                  log.begin(), log.end(), [](const std::string& line) { return line.starts_with("create"); }),
        1);
}

TEST_F(LaunchServicesTest, aDaemonThatLeavesBeforeItsVolumeAdvertisesReleasesTheVolume)
{
    auto daemon = std::make_unique<TestClient>(services::daemonServiceName());
    daemon->sendAwaitingReply(volumeRequest(optionsOf({ "memfs" })));
    std::shared_ptr<FakeHost> host = launcher->nextLaunch();
    FakeVolume volume(host->devicePath);
    daemon.reset();

    EXPECT_EQ(host->nextStop(), 0ns);
    EXPECT_EQ(volume.advertise().boolean(keys::successKey), false);
}

// A daemon that had its volume and leaves may have died: its host gets a short while to end on
// its own (it does when the kernel unmounted) and is stopped otherwise.
TEST_F(LaunchServicesTest, aDaemonThatLeavesAfterTheHandoverHasItsHostStoppedSoon)
{
    auto daemon = std::make_unique<TestClient>(services::daemonServiceName());
    Granted granted = grantVolume(*daemon);
    daemon.reset();

    // The default patience, as the fixture sets none.
    EXPECT_EQ(granted.host->nextStop(), 1s);
}

TEST_F(LaunchServicesTest, aHostThatEndsBeforeItsVolumeAdvertisesFailsTheRequest)
{
    TestClient daemon(services::daemonServiceName());
    daemon.sendAwaitingReply(volumeRequest(optionsOf({ "memfs" })));
    std::shared_ptr<FakeHost> host = launcher->nextLaunch();
    host->exitOnItsOwn(3);

    xpc::XPCDictionary refusal = daemon.nextReply();
    EXPECT_EQ(refusal.boolean(keys::successKey), false);
    EXPECT_NE(refusal.string(keys::errorKey).value_or("").find("exited with status 3"), std::string::npos);
}

TEST_F(LaunchServicesTest, aVolumeThatCannotBeMadeIsRefusedAndWhatWasMadeIsUndone)
{
    auto refusalFor = [&](TestClient& daemon) {
        daemon.sendAwaitingReply(volumeRequest(optionsOf({ "memfs" })));
        xpc::XPCDictionary reply = daemon.nextReply();
        EXPECT_EQ(reply.boolean(keys::successKey), false);
        return reply.string(keys::errorKey).value_or("");
    };
    TestClient daemon(services::daemonServiceName());

    launcher->launchFailure = true;
    EXPECT_NE(refusalFor(daemon).find("launch fake host"), std::string::npos);
    tool.failing("attach");
    EXPECT_NE(refusalFor(daemon).find("attachFailed"), std::string::npos);
    tool.failing("create");
    EXPECT_NE(refusalFor(daemon).find("createFailed"), std::string::npos);

    stopServices();
    std::vector<std::string> log = tool.log();
    EXPECT_EQ(std::count_if(
                  log.begin(), log.end(), [](const std::string& line) { return line.starts_with("detach"); }),
        1);
}

TEST_F(LaunchServicesTest, stopReleasesEveryVolumeAndEndsEveryConnection)
{
    {
        TestClient grantedDaemon(services::daemonServiceName());
        Granted granted = grantVolume(grantedDaemon);
        TestClient waitingDaemon(services::daemonServiceName());
        waitingDaemon.sendAwaitingReply(volumeRequest(optionsOf({ "memfs" })));
        std::shared_ptr<FakeHost> waitingHost = launcher->nextLaunch();

        stopServices();
        xpc::XPCDictionary refusal = waitingDaemon.nextReply();
        EXPECT_EQ(refusal.boolean(keys::successKey), false);
        EXPECT_NE(refusal.string(keys::errorKey).value_or("").find("stopping"), std::string::npos);
        std::optional<xpc::XPCDictionary> gone = xpc::XPCDictionary::fromObject(grantedDaemon.nextEvent());
        ASSERT_TRUE(gone);
        EXPECT_EQ(gone->string(keys::operationKey), "device-gone");
        EXPECT_EQ(granted.host->nextStop(), 0ns);
        EXPECT_EQ(waitingHost->nextStop(), 0ns);
        // The services ended both daemons' connections.
        EXPECT_NE(grantedDaemon.nextEvent().errorValue(), nullptr);
        EXPECT_NE(waitingDaemon.nextEvent().errorValue(), nullptr);
    }
    EXPECT_EQ(testing_support::openDescriptors(), descriptorsBefore);
    // Both names are free again.
    EXPECT_THROW(xpc::Connection::createMachService(services::brokerServiceName()), xpc::XPCRichError);
    EXPECT_THROW(xpc::Connection::createMachService(services::daemonServiceName()), xpc::XPCRichError);
}

TEST_F(LaunchServicesTest, aSecondServicesInstanceCannotListenWhileTheFirstDoes)
{
    testing_support::FakeDiskImageTool otherTool;
    services::LaunchServices second(services::LaunchServices::Configuration {
        .diskImageTool = foundation::URL::fileURLWithPath(otherTool.toolPath()),
        .imageDirectory = otherTool.imageDirectory(),
        .hostLauncher = launcher,
    });
    EXPECT_THROW(second.listen(), xpc::XPCRichError);
}

} // namespace
