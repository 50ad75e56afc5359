#include "VLFoundation/SessionExchange.h"

#include "Platform/Tasks/Cancellation.h"
#include "Platform/Tasks/Clock.h"
#include "Platform/Tasks/Spawn.h"

#include "Support/Mailbox.h"
#include "Support/XPCTestServer.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using xpc::Connection;
using xpc::XPCDictionary;
using xpc::XPCRichError;
using xpc::XPCSession;
using Clock = tasks::ContinuousClock;

// A request the service has not answered yet, with the connection to answer it on.
struct Held {
    XPCDictionary reply;
    std::shared_ptr<Connection> peer;
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
                held->push(Held { *reply, peer.shared_from_this() });
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

// A peer that never answers ends the exchange at its deadline, or with the time-out function's
// answer, and its late reply reaches no one; an XPC error reaches the caller as the rich error.
TEST(SessionExchange, TheDeadlineTheTimeOutFunctionAndXPCErrorsEachEndOnlyTheirOwnExchange)
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

    XPCDictionary substitute = tasks::runBlocking(exchange(session, "hold", std::chrono::milliseconds(1), [] {
        XPCDictionary made;
        made.setString("Token", "substitute");
        return made;
    }));
    EXPECT_EQ(substitute.string("Token"), "substitute");
    (void)held->next();

    tasks::TaskHandle<XPCDictionary> waiting
        = tasks::spawn(exchange(session, "hold", std::chrono::seconds(60)));
    held->next().peer->cancel();
    try {
        tasks::runBlocking(waiting.value());
        FAIL() << "the exchange succeeded";
    } catch (const XPCRichError& error) {
        EXPECT_EQ(error.code(), XPCRichError::Code::connectionInterrupted);
    }
    session.cancel("done");
    EXPECT_THROW(tasks::runBlocking(exchange(session, "any", std::chrono::seconds(60))), XPCRichError);
    server.waitUntilPeersEnded(1);
    server.stop();
}

} // namespace
