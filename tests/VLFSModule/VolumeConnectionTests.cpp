// The volume's XPC side: finding the daemon through the broker, and telling the daemon service
// that the device is gone. Fake broker and daemon services run in the test's runtime directory.
#include "VLFSModule/Service.h"
#include "VLFSModule/Volume.h"

#include "Platform/OS/Logger.h"
#include "Platform/XPC/Connection.h"
#include "VLFoundation/XPCEntries.h"
#include "VolumeOperationTesting.h"

#include "Support/Mailbox.h"
#include "Support/XPCTestServer.h"

#include <gtest/gtest.h>

#include <cerrno>
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
    auto replied = std::make_shared<Mailbox<std::optional<xpc::XPCDictionary>>>();
    connection->sendMessageWithReply(message,
        [replied](const xpc::Object& reply) { replied->push(xpc::XPCDictionary::fromObject(reply)); });
    std::optional<xpc::XPCDictionary> reply = replied->next();
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

// No broker, a broker that does not confirm the advertisement (false or no "Success" key), or a
// daemon message without options or of another channel type; a refused daemon gets no socket.
TEST(VolumeConnection, AnUnconfirmedAdvertisementOrAnUnexpectedDaemonMessageFailsTheConnection)
{
    EXPECT_THROW(tasks::runBlocking(Volume::connect(foundation::UUID())), xpc::XPCRichError);
    using Message = std::optional<xpc::XPCDictionary>;
    for (auto [success, message] : { std::pair { std::optional(false), Message() },
             { std::nullopt, Message() }, { true, daemonMessage("Socket", false) },
             { true, daemonMessage("Pipe", true) }, { true, daemonMessage(std::nullopt, true) } }) {
        foundation::UUID volume;
        FakeBroker broker(success, message);
        os::LogCapture log;
        try {
            tasks::runBlocking(Volume::connect(volume));
            ADD_FAILURE() << "an unconfirmed advertisement or unexpected daemon message connected";
        } catch (const Volume::VError& error) {
            EXPECT_EQ(error.code(),
                message ? Volume::VError::Code::unexpectedMessage : Volume::VError::Code::advertiseFailed);
        }
        if (!message)
            EXPECT_TRUE(log.contains(
                os::LogLevel::error, "Volume " + volume.uuidString() + " has not been discovered"));
        else if (std::optional<xpc::XPCDictionary> reply = broker.daemonReplies.next())
            EXPECT_FALSE(vl::entry<foundation::FileHandle>(*reply, "FileHandle"));
    }
}

using VolumeDeactivation = VolumeOperationTest;

// Deactivation sends DESTROY while connected: a failure is logged and keeps the channel, success
// clears it. Either way the daemon service is told, and must be there to be told.
TEST_F(VolumeDeactivation, AFailedDestroyKeepsTheChannelASuccessfulOneClearsItAndTheDaemonServiceIsTold)
{
    auto received = std::make_shared<Mailbox<xpc::XPCDictionary>>();
    TestServer service(xpc::Connection::createMachServiceListener(vl::Service::daemon().machService),
        [received](const xpc::XPCDictionary& message, xpc::Connection&) { received->push(message); });
    os::LogCapture log;
    answer(vl::FUSE_DESTROY, FuseAnswer::error(EIO));
    tasks::runBlocking(volume->deactivate());
    EXPECT_EQ(received->next().string("Operation"), "device-deactivate");
    std::vector<std::string> errors = log.texts(os::LogLevel::error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].rfind("Failed to close channel: ", 0), 0u);
    tasks::runBlocking(volume->updateVolumeStatistics()); // the channel still carries requests

    answer(vl::FUSE_DESTROY, FuseAnswer::reply());
    std::size_t first = mark();
    tasks::runBlocking(volume->deactivate());
    xpc::XPCDictionary told = received->next();
    EXPECT_EQ(told.string("Operation"), "device-deactivate");
    EXPECT_EQ(told.string("BSDName"), volume->resource()->BSDName());
    EXPECT_EQ(told.keys(), (std::vector<std::string> { "BSDName", "Operation" }));
    // Disconnected: the daemon is out of reach, and a further deactivation only tells the service.
    EXPECT_EQ(errnoOf(volume->updateVolumeStatistics()), ENXIO);
    tasks::runBlocking(volume->deactivate());
    EXPECT_EQ(received->next().string("Operation"), "device-deactivate");
    EXPECT_EQ(sentSince(first), (std::vector { Sent { vl::FUSE_DESTROY, 1, {} } }));
    service.stop();
    EXPECT_THROW(tasks::runBlocking(volume->deactivate()), xpc::XPCRichError);
}

} // namespace
