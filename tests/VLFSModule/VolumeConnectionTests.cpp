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

// No broker, a broker that does not confirm the advertisement (false or no "Success" key), or a
// daemon message without options or of another channel type; a refused daemon gets no socket.
TEST(VolumeConnection, AnUnconfirmedAdvertisementOrAnUnexpectedDaemonMessageFailsTheConnection)
{
    EXPECT_THROW(tasks::runBlocking(Volume::connect(foundation::UUID())), xpc::XPCRichError);
    using Message = std::optional<xpc::XPCDictionary>;
    for (const auto& [success, message] : { std::pair { std::optional(false), Message() },
             { std::nullopt, Message() }, { true, daemonMessage("Socket", false) },
             { true, daemonMessage("Pipe", true) }, { true, daemonMessage(std::nullopt, true) } }) {
        foundation::UUID volume;
        auto endpoints = std::make_shared<Mailbox<xpc::Object>>();
        TestServer broker(xpc::Connection::createMachServiceListener(vl::Service::broker().machService),
            [endpoints, confirmed = success](const xpc::XPCDictionary& request, xpc::Connection& peer) {
                std::optional<xpc::XPCDictionary> reply = xpc::XPCDictionary::createReply(request);
                reply->setBoolean("Success", confirmed);
                peer.sendMessage(*reply);
                endpoints->push(*request.value("Endpoint"));
            });
        os::LogCapture log;
        auto connecting = tasks::spawn(Volume::connect(volume));
        if (message) {
            if (std::optional<xpc::XPCDictionary> reply = callVolume(endpoints->next(), *message)) {
                EXPECT_FALSE(vl::entry<foundation::FileHandle>(*reply, "FileHandle"));
            }
        }
        try {
            tasks::runBlocking(connecting.value());
            ADD_FAILURE() << "an unconfirmed advertisement or unexpected daemon message connected";
        } catch (const Volume::VError& error) {
            EXPECT_EQ(error.code(),
                message ? Volume::VError::Code::unexpectedMessage : Volume::VError::Code::advertiseFailed);
        }
        if (!message) {
            EXPECT_TRUE(log.contains(
                os::LogLevel::error, "Volume " + volume.uuidString() + " has not been discovered"));
        }
        broker.stop();
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
