#include "VLFoundation/SessionExchange.h"

#include "Platform/Tasks/Cancellation.h"
#include "Platform/Tasks/Clock.h"
#include "Platform/Tasks/Spawn.h"

#include "Support/Mailbox.h"
#include "Support/OpenDescriptors.h"
#include "Support/XPCTestServer.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using testing_support::openDescriptors;
using xpc::Connection;
using xpc::XPCDictionary;
using xpc::XPCRichError;
using xpc::XPCSession;
using Clock = tasks::ContinuousClock;

// A request the service has not answered yet, with the connection to answer it on.
struct Held {
    XPCDictionary reply;
    std::shared_ptr<Connection> peer;
    std::optional<std::string> token;
};

// Answers requests whose "Token" is not "hold" at once, echoing the token; keeps the others.
TestServer makeServer(const char* name, const std::shared_ptr<Mailbox<Held>>& held)
{
    return TestServer(
        Connection::createMachServiceListener(name), [held](const XPCDictionary& request, Connection& peer) {
            auto reply = XPCDictionary::createReply(request);
            if (!reply)
                return;
            reply->setString("Token", request.string("Token"));
            if (request.string("Token") == "hold")
                held->push(Held { *reply, peer.shared_from_this(), request.string("Token") });
            else
                peer.sendMessage(*reply);
        });
}

XPCDictionary request(const std::string& token)
{
    XPCDictionary message;
    message.setString("Token", token);
    return message;
}

tasks::Task<XPCDictionary> exchange(XPCSession session, std::string token, std::chrono::nanoseconds wait,
    std::function<XPCDictionary()> onTimeout = {})
{
    Clock clock;
    co_return co_await vl::send(
        session, request(token), clock.now() + wait, std::nullopt, clock, std::move(onTimeout));
}

TEST(SessionExchange, APeerThatNeverAnswersEndsAtTheDeadlineAndItsLateReplyReachesNoOne)
{
    auto held = std::make_shared<Mailbox<Held>>();
    TestServer server = makeServer("test.exchange.silent", held);
    XPCSession session("test.exchange.silent");
    EXPECT_THROW(tasks::runBlocking(exchange(session, "hold", std::chrono::milliseconds(20))),
        tasks::CancellationError);

    // The late reply goes to the abandoned exchange; the next exchange gets its own reply.
    Held late = held->next();
    late.peer->sendMessage(late.reply);
    XPCDictionary reply = tasks::runBlocking(exchange(session, "second", std::chrono::seconds(60)));
    EXPECT_EQ(reply.string("Token"), "second");

    // A time-out function supplies the answer instead.
    XPCDictionary substitute = tasks::runBlocking(exchange(session, "hold", std::chrono::milliseconds(1), [] {
        XPCDictionary made;
        made.setString("Token", "substitute");
        return made;
    }));
    EXPECT_EQ(substitute.string("Token"), "substitute");
    session.cancel("done");
    server.waitUntilPeersEnded(1);
    server.stop();
}

TEST(SessionExchange, AnXPCErrorReachesTheCallerAsTheRichError)
{
    auto listener = Connection::createMachServiceListener("test.exchange.gone");
    auto peers = std::make_shared<Mailbox<xpc::Object>>();
    listener->setEventHandler([peers](const xpc::Object& event) { peers->push(event); });
    listener->activate();
    XPCSession session("test.exchange.gone");
    tasks::TaskHandle<XPCDictionary> waiting
        = tasks::spawn(exchange(session, "any", std::chrono::seconds(60)));
    auto peer = peers->next().connectionValue();
    ASSERT_TRUE(peer);
    auto requests = std::make_shared<Mailbox<xpc::Object>>();
    peer->setEventHandler([requests](const xpc::Object& event) { requests->push(event); });
    peer->activate();
    EXPECT_EQ(requests->next().type(), xpc::Type::dictionary); // the request is waiting for its reply
    peer->cancel();
    try {
        tasks::runBlocking(waiting.value());
        FAIL() << "the exchange succeeded";
    } catch (const XPCRichError& error) {
        EXPECT_EQ(error.code(), XPCRichError::Code::connectionInterrupted);
    }
    session.cancel("done");
    EXPECT_THROW(tasks::runBlocking(exchange(session, "any", std::chrono::seconds(60))), XPCRichError);
    listener->cancel();
    peers->next();
}

} // namespace
