// XPC between two processes: the test hosts a named service and an anonymous listener, and the
// helper program (XPCPeerHelper) talks to both.
#include "Platform/Foundation/Process.h"
#include "Platform/Foundation/UUID.h"
#include "Platform/OS/Logger.h"
#include "Platform/XPC/Connection.h"

#include "Support/Mailbox.h"
#include "Support/OpenDescriptors.h"
#include "Support/WaitUntil.h"
#include "Support/XPCTestServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

using testing_support::openDescriptors;
using xpc::Connection;
using xpc::Object;
using xpc::XPCDictionary;

struct Received {
    std::optional<foundation::UUID> volume;
    std::optional<std::string> text;
    std::string descriptorContents;
    uid_t peerUser;
};

std::string readAll(int descriptor)
{
    foundation::FileHandle handle(descriptor);
    std::optional<foundation::Data> data = handle.readToEnd();
    return data ? data->decodedAsUTF8() : "";
}

// The named service that answers "hello" with the volume UUID, the listener's endpoint and a
// pipe holding "from test"; and the anonymous listener that records what the helper sends back.
struct Services {
    explicit Services(const char* serviceName, bool requirePeer)
        : received(std::make_shared<Mailbox<Received>>())
        , listener(makeListener(requirePeer),
              [received = received](const XPCDictionary& request, Connection& peer) {
                  Received record;
                  if (const std::uint8_t* bytes
                      = request.value("Volume") ? request.value("Volume")->uuidBytes() : nullptr)
                      record.volume = foundation::UUID::fromBytes(bytes);
                  record.text = request.string("Text");
                  if (auto descriptor = request.value("FileHandle"))
                      record.descriptorContents = readAll(descriptor->dupFileDescriptor());
                  record.peerUser = peer.peerUserID();
                  if (auto reply = XPCDictionary::createReply(request)) {
                      reply->setBoolean("Success", true);
                      peer.sendMessage(*reply);
                  }
                  received->push(std::move(record));
              })
        , service(Connection::createMachServiceListener(serviceName),
              [this](const XPCDictionary& request, Connection& peer) {
                  auto reply = XPCDictionary::createReply(request);
                  if (!reply || request.string("Operation") != "hello")
                      return;
                  reply->setValue("Volume", Object::uuid(volume.bytes().data()));
                  reply->setValue("Endpoint", Object::endpoint(*listener.connection()));
                  foundation::Pipe pipe;
                  pipe.fileHandleForWriting()->write(foundation::Data(std::string_view("from test")));
                  pipe.fileHandleForWriting()->close();
                  reply->setValue(
                      "FileHandle", Object::fileDescriptor(pipe.fileHandleForReading()->fileDescriptor()));
                  peer.sendMessage(*reply);
              })
    {
    }

    static std::shared_ptr<Connection> makeListener(bool requirePeer)
    {
        auto connection = Connection::createAnonymousListener();
        if (requirePeer) {
            EXPECT_EQ(connection->setPeerCodeSigningRequirement("identifier \"org.vorlane.vorlane.app\""), 0);
        }
        return connection;
    }

    void stop()
    {
        service.stop();
        listener.stop();
    }

    foundation::UUID volume;
    std::shared_ptr<Mailbox<Received>> received;
    TestServer listener;
    TestServer service;
};

int runHelper(const std::string& mode, const std::string& service)
{
    auto process = std::make_shared<foundation::Process>();
    process->executableURL = foundation::URL::fileURLWithPath(XPC_PEER_HELPER);
    process->arguments = { mode, service };
    process->launch();
    // A helper left waiting (for a message that was lost) is killed: the test fails instead of
    // hanging.
    try {
        testing_support::waitUntil([&] { return !process->isRunning(); });
    } catch (const std::runtime_error&) {
        ::kill(process->processIdentifier(), SIGKILL);
        process->waitUntilExit();
        throw;
    }
    return process->terminationStatus();
}

TEST(CrossProcess, ARequestAndItsReplyCarryAUUIDAnEndpointAndADescriptorBetweenProcesses)
{
    auto before = openDescriptors();
    {
        Services services("test.cross.exchange", true);
        EXPECT_EQ(runHelper("exchange", "test.cross.exchange"), 0);
        Received received = services.received->next();
        EXPECT_EQ(received.volume, services.volume);
        EXPECT_EQ(received.text, "from test");
        EXPECT_EQ(received.descriptorContents, "from helper");
        EXPECT_EQ(received.peerUser, ::geteuid());
        services.service.waitUntilPeersEnded(1);
        services.listener.waitUntilPeersEnded(1);
        services.stop();
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(CrossProcess, APeerOfAnotherUserIsRefusedByAListenerWithARequirementAndAdmittedByOneWithout)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "running a peer under another user needs root";
    for (bool required : { true, false }) {
        os::LogCapture capture;
        const char* name = required ? "test.cross.other.user" : "test.cross.open";
        Services services(name, required);
        // The helper expects to be turned away; being admitted is its status 10.
        EXPECT_EQ(runHelper("as-other-user", name), required ? 0 : 10);
        if (required) {
            EXPECT_EQ(services.listener.acceptedPeers(), 0u);
            EXPECT_TRUE(services.received->isEmpty());
            EXPECT_TRUE(std::ranges::any_of(capture.texts(os::LogLevel::error),
                [](const std::string& text) { return text.starts_with("Refused a peer of user 65534"); }));
        } else {
            EXPECT_EQ(services.received->next().peerUser, 65534u);
            services.listener.waitUntilPeersEnded(1);
        }
        services.service.waitUntilPeersEnded(1);
        services.stop();
    }
}

} // namespace
