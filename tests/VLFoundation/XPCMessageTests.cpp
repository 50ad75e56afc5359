#include "VLFoundation/SessionExchange.h"
#include "VLFoundation/XPCEntries.h"

#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/Pipe.h"
#include "Platform/Tasks/Cancellation.h"
#include "Platform/Tasks/Clock.h"
#include "Platform/Tasks/Spawn.h"

#include "Support/Mailbox.h"
#include "Support/OpenDescriptors.h"
#include "Support/XPCTestServer.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

namespace {

using foundation::FileHandle;
using foundation::UUID;
using testing_support::openDescriptors;
using xpc::Connection;
using xpc::Object;
using xpc::XPCArray;
using xpc::XPCDictionary;
using xpc::XPCRichError;
using xpc::XPCSession;
using Clock = tasks::ContinuousClock;

// A UUID reads back as itself, an array as the array object itself.
TEST(XPCEntries, AnEntryReadsBackAsItsOwnTypeOnlyAndAnAbsentOneRemovesTheKey)
{
    XPCDictionary message;
    UUID volume;
    XPCArray options;
    options.append(Object::string("rw"));
    vl::setEntry(message, "Volume", std::optional(volume));
    vl::setEntry(message, "Options", std::optional(options));
    EXPECT_EQ(message.value("Volume")->type(), xpc::Type::uuid);
    EXPECT_EQ(vl::entry<UUID>(message, "Volume"), volume);
    std::optional<XPCArray> read = vl::entry<XPCArray>(message, "Options");
    ASSERT_TRUE(read);
    EXPECT_TRUE(read->object().isSameObject(options.object()));
    vl::setEntry(message, "Volume", std::optional<UUID>());
    vl::setEntry(message, "Options", std::optional<XPCArray>());
    EXPECT_EQ(message.count(), 0u);
    EXPECT_EQ(vl::entry<UUID>(message, "Volume"), std::nullopt);

    // Entries of another type read as absent.
    message.setString("Volume", "00000000-0000-0000-0056-6F726C616E65");
    message.setString("FileHandle", "3");
    message.setString("Options", "ro");
    EXPECT_EQ(vl::entry<UUID>(message, "Volume"), std::nullopt);
    EXPECT_EQ(vl::entry<FileHandle>(message, "FileHandle"), nullptr);
    EXPECT_EQ(vl::entry<XPCArray>(message, "Options"), std::nullopt);
    vl::setEntry(message, "Volume", std::optional(UUID()));
    EXPECT_EQ(vl::entry<FileHandle>(message, "Volume"), nullptr);
    EXPECT_EQ(vl::entry<XPCArray>(message, "Volume"), std::nullopt);
    EXPECT_EQ(vl::entry<UUID>(message, "Missing"), std::nullopt);
    EXPECT_EQ(vl::entry<FileHandle>(message, "Missing"), nullptr);
}

TEST(XPCEntries, AFileHandleReadTwiceGivesTwoHandlesOnTwoDescriptors)
{
    auto before = openDescriptors();
    {
        XPCDictionary message;
        {
            foundation::Pipe pipe;
            vl::setEntry(message, "FileHandle", pipe.fileHandleForReading());
            pipe.fileHandleForWriting()->write(foundation::Data(std::string_view("daemon end")));
        }
        // The entry keeps its own descriptor after the pipe's handles are gone.
        std::shared_ptr<FileHandle> first = vl::entry<FileHandle>(message, "FileHandle");
        std::shared_ptr<FileHandle> second = vl::entry<FileHandle>(message, "FileHandle");
        ASSERT_TRUE(first);
        ASSERT_TRUE(second);
        EXPECT_NE(first->fileDescriptor(), second->fileDescriptor());
        int firstDescriptor = first->fileDescriptor();
        first.reset();
        EXPECT_FALSE(openDescriptors().contains(firstDescriptor));
        char text[10];
        EXPECT_EQ(::read(second->fileDescriptor(), text, sizeof text), 10);
        EXPECT_EQ(std::string(text, 10), "daemon end");

        vl::setEntry(message, "FileHandle", std::shared_ptr<FileHandle>());
        EXPECT_FALSE(message.value("FileHandle"));
        // A closed handle cannot be written.
        second->close();
        EXPECT_THROW(vl::setEntry(message, "FileHandle", second), foundation::POSIXError);
        EXPECT_FALSE(message.value("FileHandle"));
    }
    EXPECT_EQ(openDescriptors(), before);
}

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
