#include "Platform/XPC/Connection.h"
#include "Platform/XPC/RuntimeDirectory.h"

#include "Support/Mailbox.h"
#include "Support/OpenDescriptors.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <future>

namespace {

using testing_support::openDescriptors;
using xpc::Connection;
using xpc::Object;
using xpc::Type;
using xpc::XPCDictionary;
using xpc::XPCRichError;

XPCRichError::Code errorCode(const Object& event)
{
    EXPECT_EQ(event.type(), Type::error) << event.debugDescription();
    return event.errorValue() ? event.errorValue()->code() : XPCRichError::Code::peerCodeSigningRequirement;
}

// A listener, a client that reached it through its endpoint and the peer connection that the
// listener handed out for that client, each with a mailbox for its events.
struct ConnectedPair {
    ConnectedPair()
    {
        listener = Connection::createAnonymousListener();
        listener->setEventHandler(postingTo(listenerEvents));
        listener->activate();
        client = Connection::createFromEndpoint(Object::endpoint(*listener));
        client->setEventHandler(postingTo(clientEvents));
        client->activate();
        Object event = listenerEvents->next();
        peer = event.connectionValue();
        EXPECT_TRUE(peer) << event.debugDescription();
        peer->setEventHandler(postingTo(peerEvents));
        peer->activate();
    }

    // Cancels all three and waits for their last events, after which their sockets are closed.
    void end()
    {
        client->cancel();
        peer->cancel();
        listener->cancel();
        for (auto* mailbox : { clientEvents.get(), peerEvents.get(), listenerEvents.get() }) {
            for (Object event = mailbox->next(); event.type() != Type::error; event = mailbox->next()) { }
        }
    }

    std::shared_ptr<Connection> listener, client, peer;
    std::shared_ptr<EventMailbox> listenerEvents = std::make_shared<EventMailbox>();
    std::shared_ptr<EventMailbox> clientEvents = std::make_shared<EventMailbox>();
    std::shared_ptr<EventMailbox> peerEvents = std::make_shared<EventMailbox>();
};

TEST(Connection, AClientReachesAnAnonymousListenerThroughItsEndpointAndGetsAReply)
{
    auto before = openDescriptors();
    {
        ConnectedPair pair;
        EXPECT_EQ(pair.peer->kind(), Connection::Kind::peer);
        EXPECT_EQ(pair.peer->peerUserID(), ::geteuid());
        EXPECT_EQ(pair.peer->peerProcessID(), ::getpid());

        // What values survive the trip is the wire's test; descriptors and endpoints crossing
        // between processes are the cross-process test's.
        XPCDictionary request;
        request.setString("Operation", "volume-request");
        auto replies = std::make_shared<EventMailbox>();
        pair.client->sendMessageWithReply(request, postingTo(replies));

        auto received = XPCDictionary::fromObject(pair.peerEvents->next());
        ASSERT_TRUE(received);
        EXPECT_TRUE(received->expectsReply());
        EXPECT_EQ(received->string("Operation"), "volume-request");

        auto reply = XPCDictionary::createReply(*received);
        ASSERT_TRUE(reply);
        reply->setBoolean("Success", true);
        pair.peer->sendMessage(*reply);
        auto answer = XPCDictionary::fromObject(replies->next());
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->boolean("Success"), true);
        EXPECT_FALSE(answer->expectsReply());

        // A message sent without a reply handler arrives as an event that awaits no reply.
        XPCDictionary notice;
        notice.setString("Operation", "device-deactivate");
        pair.client->sendMessage(notice);
        auto event = XPCDictionary::fromObject(pair.peerEvents->next());
        ASSERT_TRUE(event);
        EXPECT_EQ(event->string("Operation"), "device-deactivate");
        EXPECT_FALSE(XPCDictionary::createReply(*event));
        pair.end();
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(Connection, CancellingEndsWithConnectionInvalidAndLaterRepliesFailAtOnce)
{
    auto before = openDescriptors();
    {
        ConnectedPair pair;
        EXPECT_EQ(pair.client->setPeerCodeSigningRequirement("anything"), EINVAL);
        pair.client->cancel();
        EXPECT_EQ(errorCode(pair.clientEvents->next()), XPCRichError::Code::connectionInvalid);
        // The peer sees its client go away.
        EXPECT_EQ(errorCode(pair.peerEvents->next()), XPCRichError::Code::connectionInterrupted);

        std::optional<Object> reply;
        pair.client->sendMessageWithReply(XPCDictionary(), [&](const Object& object) { reply = object; });
        ASSERT_TRUE(reply);
        EXPECT_EQ(errorCode(*reply), XPCRichError::Code::connectionInvalid);
        pair.client->cancel();
        pair.client->activate();
        pair.listener->cancel();
        EXPECT_EQ(errorCode(pair.listenerEvents->next()), XPCRichError::Code::connectionInvalid);
        EXPECT_TRUE(pair.clientEvents->isEmpty());
        EXPECT_THROW(Connection::createFromEndpoint(Object::endpoint(*pair.listener)), XPCRichError);
    }
    EXPECT_EQ(openDescriptors(), before);
}

TEST(Connection, APeerThatGoesAwayFailsWaitingRepliesBeforeTheLastEvent)
{
    ConnectedPair pair;
    auto order = std::make_shared<Mailbox<std::string>>();
    pair.client->setEventHandler(
        [order](const Object& event) { order->push("event " + event.debugDescription()); });
    pair.client->sendMessageWithReply(
        XPCDictionary(), [order](const Object& reply) { order->push("reply " + reply.debugDescription()); });
    ASSERT_EQ(pair.peerEvents->next().type(), Type::dictionary);
    pair.peer->cancel();
    EXPECT_EQ(order->next(), "reply <error: \"The peer has closed the connection\">");
    EXPECT_EQ(order->next(), "event <error: \"The peer has closed the connection\">");
    EXPECT_EQ(errorCode(pair.peerEvents->next()), XPCRichError::Code::connectionInvalid);
    pair.listener->cancel();
    pair.listenerEvents->next();
}

// A client whose handler stops (so its connection stops reading) must not hold up the peer that
// sends to it: once the socket is full and stays full, the peer cuts the connection off.
TEST(Connection, ASendToAPeerThatDoesNotReadCutsTheConnectionOffInsteadOfBlocking)
{
    ConnectedPair pair;
    std::promise<void> resume;
    std::shared_future<void> resumed = resume.get_future().share();
    pair.client->setEventHandler([resumed, events = pair.clientEvents](const Object& event) {
        if (event.type() == Type::dictionary)
            resumed.wait_for(std::chrono::seconds(60));
        events->push(event);
    });
    XPCDictionary large;
    large.setString("Padding", std::string(16384, 'x'));
    for (int sent = 0; sent < 100000 && pair.peerEvents->isEmpty(); ++sent)
        pair.peer->sendMessage(large);
    EXPECT_EQ(errorCode(pair.peerEvents->next()), XPCRichError::Code::connectionInterrupted);
    resume.set_value();
    Object last = pair.clientEvents->next();
    while (last.type() == Type::dictionary)
        last = pair.clientEvents->next();
    EXPECT_EQ(errorCode(last), XPCRichError::Code::connectionInterrupted);
    pair.listener->cancel();
    pair.listenerEvents->next();
}

TEST(Connection, AnInactiveConnectionClosesAtOnceWhenCancelled)
{
    auto before = openDescriptors();
    auto listener = Connection::createAnonymousListener();
    EXPECT_EQ(listener->setPeerCodeSigningRequirement(""), EINVAL);
    EXPECT_EQ(listener->setPeerCodeSigningRequirement("same team"), 0);
    listener->cancel();
    EXPECT_EQ(openDescriptors(), before);
}

TEST(Connection, ANamedServiceListensInTheRuntimeDirectoryAndOnlyOnce)
{
    auto before = openDescriptors();
    std::string path = xpc::servicePath("test.named.listener");
    EXPECT_EQ(path, std::string(std::getenv("VORLANE_RUNTIME_DIR")) + "/test.named.listener");
    {
        auto listener = Connection::createMachServiceListener("test.named.listener");
        auto events = std::make_shared<EventMailbox>();
        listener->setEventHandler(postingTo(events));
        listener->activate();
        struct stat status;
        ASSERT_EQ(::stat(path.c_str(), &status), 0);
        EXPECT_TRUE(S_ISSOCK(status.st_mode));
        EXPECT_THROW(Connection::createMachServiceListener("test.named.listener"), XPCRichError);
        ASSERT_EQ(events->next().type(), Type::connection); // the probe of the refused second listener

        auto client = Connection::createMachService("test.named.listener");
        EXPECT_EQ(client->peerUserID(), ::geteuid());
        ASSERT_EQ(events->next().type(), Type::connection);
        client->cancel();
        listener->cancel();
        EXPECT_EQ(errorCode(events->next()), XPCRichError::Code::connectionInvalid);
        EXPECT_NE(::stat(path.c_str(), &status), 0);
    }
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_THROW(Connection::createMachService("test.named.listener"), XPCRichError);
    EXPECT_THROW(Connection::createMachService("a/b"), std::invalid_argument);
    EXPECT_THROW(Connection::createFromEndpoint(Object::string("not an endpoint")), XPCRichError);
}

} // namespace
