// The volume's XPC side: finding the daemon through the broker, and telling the daemon service
// that the device is gone. Fake broker and daemon services run in the test's runtime directory.
#include "VLFSModule/Service.h"
#include "VLFSModule/Volume.h"

#include "Platform/OS/Logger.h"
#include "Platform/XPC/Connection.h"
#include "Support/VolumeTestSupport.h"
#include "VLFoundation/XPCEntries.h"

#include "Support/Mailbox.h"
#include "Support/XPCTestServer.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <future>
#include <mutex>
#include <thread>

namespace {

using namespace testing_support;
using vl::Volume;

// What a daemon does with an advertised endpoint: connect, send its message, return the reply.
std::optional<xpc::XPCDictionary> callVolume(const xpc::Object& endpoint, const xpc::XPCDictionary& message)
{
    std::shared_ptr<xpc::Connection> connection = xpc::Connection::createFromEndpoint(endpoint);
    connection->setEventHandler([](const xpc::Object&) {});
    connection->activate();
    std::promise<std::optional<xpc::XPCDictionary>> replied;
    connection->sendMessageWithReply(message,
        [&replied](const xpc::Object& reply) { replied.set_value(xpc::XPCDictionary::fromObject(reply)); });
    std::optional<xpc::XPCDictionary> reply = replied.get_future().get();
    connection->cancel();
    return reply;
}

xpc::XPCDictionary daemonMessage(std::optional<std::string> channelType, bool withOptions)
{
    xpc::XPCDictionary message;
    if (channelType)
        message.setString("ChannelType", *channelType);
    if (withOptions) {
        xpc::XPCArray options;
        options.append(xpc::Object::string("ro"));
        vl::setEntry(message, "Options", std::optional<xpc::XPCArray>(options));
    }
    return message;
}

// A broker that answers every advertisement with `success` (absent: no "Success" key) and, when
// given a daemon message, plays the daemon against the advertised endpoint on its own thread.
class FakeBroker {
public:
    FakeBroker(std::optional<bool> success, std::optional<xpc::XPCDictionary> daemonCall)
        : server(xpc::Connection::createMachServiceListener(vl::Service::broker().machService),
            [this, success, daemonCall](const xpc::XPCDictionary& request, xpc::Connection& peer) {
                std::optional<xpc::XPCDictionary> reply = xpc::XPCDictionary::createReply(request);
                reply->setBoolean("Success", success);
                peer.sendMessage(*reply);
                if (daemonCall) {
                    std::lock_guard guard(daemonMutex);
                    daemon = std::thread([this, endpoint = *request.value("Endpoint"), call = *daemonCall] {
                        daemonReplies.push(callVolume(endpoint, call));
                    });
                }
            })
    {
    }
    ~FakeBroker()
    {
        server.stop();
        std::lock_guard guard(daemonMutex);
        if (daemon.joinable())
            daemon.join();
    }

    Mailbox<std::optional<xpc::XPCDictionary>> daemonReplies;

private:
    std::mutex daemonMutex;
    std::thread daemon;
    TestServer server;
};

TEST(VolumeConnection, BrokerThatDoesNotConfirmOrCannotBeReachedFailsTheConnection)
{
    EXPECT_THROW(tasks::runBlocking(Volume::connect(foundation::UUID())), xpc::XPCRichError);
    for (std::optional<bool> success : { std::optional<bool>(false), std::optional<bool>() }) {
        foundation::UUID volume;
        FakeBroker broker(success, std::nullopt);
        os::LogCapture log;
        try {
            tasks::runBlocking(Volume::connect(volume));
            FAIL() << "an unconfirmed advertisement connected";
        } catch (const Volume::VError& error) {
            EXPECT_EQ(error.code(), Volume::VError::Code::advertiseFailed);
        }
        EXPECT_TRUE(
            log.contains(os::LogLevel::error, "Volume " + volume.uuidString() + " has not been discovered"));
    }
}

TEST(VolumeConnection, DaemonMessageWithoutOptionsOrWithAnotherChannelTypeIsUnexpected)
{
    for (xpc::XPCDictionary message :
        { daemonMessage("Socket", false), daemonMessage("Pipe", true), daemonMessage(std::nullopt, true) }) {
        FakeBroker broker(true, message);
        try {
            tasks::runBlocking(Volume::connect(foundation::UUID()));
            FAIL() << "an unexpected daemon message connected";
        } catch (const Volume::VError& error) {
            EXPECT_EQ(error.code(), Volume::VError::Code::unexpectedMessage);
        }
        // The refused daemon gets no socket.
        std::optional<xpc::XPCDictionary> reply = broker.daemonReplies.next();
        EXPECT_FALSE(reply && vl::entry<foundation::FileHandle>(*reply, "FileHandle"));
    }
}

// A daemon service that records what it is told.
class FakeDaemonService {
public:
    FakeDaemonService()
        : server(xpc::Connection::createMachServiceListener(vl::Service::daemon().machService),
            [this](const xpc::XPCDictionary& message, xpc::Connection&) { received.push(message); })
    {
    }
    ~FakeDaemonService() { server.stop(); }

    Mailbox<xpc::XPCDictionary> received;

private:
    TestServer server;
};

TEST(VolumeDeactivation, DestroyAndCloseClearTheChannelAndTheDaemonServiceIsTold)
{
    DeviceImage device;
    FusePeer peer;
    answerHandshake(peer);
    peer.on(vl::FUSE_DESTROY, [](const FuseRequest&) { return FuseAnswer::reply(); });
    std::shared_ptr<Volume> volume = tasks::runBlocking(Volume::make(device.open(), connectTo(peer)));
    FakeDaemonService service;

    tasks::runBlocking(volume->deactivate());
    EXPECT_EQ(peer.waitForRequest(2).opcode(), vl::FUSE_DESTROY);
    EXPECT_EQ(peer.waitForRequest(2).nodeid(), 1u);
    xpc::XPCDictionary told = service.received.next();
    EXPECT_EQ(told.string("Operation"), "device-deactivate");
    EXPECT_EQ(told.string("BSDName"), volume->resource()->BSDName());
    EXPECT_EQ(told.keys(), (std::vector<std::string> { "BSDName", "Operation" }));

    // Disconnected: the daemon is out of reach, and a second deactivation only tells the service.
    try {
        tasks::runBlocking(volume->updateVolumeStatistics());
        FAIL() << "a disconnected volume reached its daemon";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code().value(), ENXIO);
    }
    tasks::runBlocking(volume->deactivate());
    EXPECT_EQ(service.received.next().string("Operation"), "device-deactivate");
    EXPECT_EQ(peer.requests().size(), 3u);
}

TEST(VolumeDeactivation, FailedDestroyIsLoggedKeepsTheChannelAndStillTellsTheServiceWhichMustBeThere)
{
    DeviceImage device;
    FusePeer peer;
    answerHandshake(peer);
    peer.on(vl::FUSE_DESTROY, [](const FuseRequest&) { return FuseAnswer::error(EIO); });
    std::shared_ptr<Volume> volume = tasks::runBlocking(Volume::make(device.open(), connectTo(peer)));
    std::optional<FakeDaemonService> service(std::in_place);
    os::LogCapture log;

    tasks::runBlocking(volume->deactivate());
    EXPECT_EQ(service->received.next().string("Operation"), "device-deactivate");
    std::vector<std::string> errors = log.texts(os::LogLevel::error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("Failed to close channel: ", 0), 0u);
    // Not closed: the channel still carries requests.
    EXPECT_NE(volume->requireChannel(), nullptr);
    tasks::runBlocking(volume->updateVolumeStatistics());

    service.reset();
    EXPECT_THROW(tasks::runBlocking(volume->deactivate()), xpc::XPCRichError);
}

} // namespace
