#include "Platform/XPC/XPCSession.h"

#include "Support/Mailbox.h"
#include "Support/OpenDescriptors.h"
#include "Support/XPCTestServer.h"

#include <gtest/gtest.h>

namespace {

using testing_support::openDescriptors;
using xpc::Connection;
using xpc::XPCDictionary;
using xpc::XPCRichError;
using xpc::XPCSession;

// Answers every request with its "Operation" echoed under "Echo".
TestServer makeEchoServer(const char* name)
{
    return TestServer(
        Connection::createMachServiceListener(name), [](const XPCDictionary& request, Connection& peer) {
            if (auto reply = XPCDictionary::createReply(request)) {
                reply->setString("Echo", request.string("Operation"));
                peer.sendMessage(*reply);
            }
        });
}

TEST(XPCSession, ARequestGetsItsReplyAndCancellingCallsTheCancellationHandler)
{
    auto before = openDescriptors();
    {
        TestServer server = makeEchoServer("test.session.echo");
        auto ended = std::make_shared<Mailbox<XPCRichError>>();
        XPCSession session("test.session.echo", XPCSession::InitializationOptions::none,
            [ended](const XPCRichError& error) { ended->push(error); });
        auto replies = std::make_shared<Mailbox<XPCSession::ReplyResult>>();
        for (const char* operation : { "volume-advertise", "device-deactivate" }) {
            XPCDictionary request;
            request.setString("Operation", operation);
            session.send(
                request, [replies](XPCSession::ReplyResult reply) { replies->push(std::move(reply)); });
            XPCSession::ReplyResult reply = replies->next();
            ASSERT_TRUE(std::holds_alternative<XPCDictionary>(reply));
            EXPECT_EQ(std::get<XPCDictionary>(reply).string("Echo"), operation);
        }
        session.cancel("done");
        EXPECT_EQ(ended->next().code(), XPCRichError::Code::connectionInvalid);
        EXPECT_THROW(session.send(XPCDictionary()), XPCRichError);
        EXPECT_THROW(session.send(XPCDictionary(), [](XPCSession::ReplyResult) { FAIL(); }), XPCRichError);
        EXPECT_THROW(session.activate(), XPCRichError);
        server.waitUntilPeersEnded(1);
        server.stop();
    }
    EXPECT_EQ(openDescriptors(), before);
}

} // namespace
