// A test's own client connection to a named service (a daemon, a volume's session): sends
// messages, waits for replies, and hands over what the service sends unasked, in order, ending
// with the connection's last event (an error). close() cancels it and returns only once its
// socket is closed, so that a test can count descriptors afterwards.
#pragma once

#include "Platform/XPC/Connection.h"
#include "Support/Mailbox.h"

#include <memory>
#include <stdexcept>
#include <string>

namespace testing_support {

class TestClient {
public:
    explicit TestClient(const std::string& service)
        : connection(xpc::Connection::createMachService(service))
        , events(std::make_shared<Mailbox<xpc::Object>>())
    {
        connection->setEventHandler([events = events](const xpc::Object& event) { events->push(event); });
        connection->activate();
    }

    ~TestClient() { close(); }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    void send(const xpc::XPCDictionary& message) { connection->sendMessage(message); }

    // Sends `message` awaiting a reply; the reply is taken later with nextReply().
    void sendAwaitingReply(const xpc::XPCDictionary& message)
    {
        connection->sendMessageWithReply(
            message, [replies = replies](const xpc::Object& reply) { replies->push(reply); });
    }

    // The next reply; throws when an error came in its place.
    xpc::XPCDictionary nextReply()
    {
        xpc::Object reply = replies->next();
        std::optional<xpc::XPCDictionary> dictionary = xpc::XPCDictionary::fromObject(reply);
        if (!dictionary)
            throw std::runtime_error("an error came instead of a reply: " + reply.debugDescription());
        return *dictionary;
    }

    xpc::XPCDictionary exchange(const xpc::XPCDictionary& message)
    {
        sendAwaitingReply(message);
        return nextReply();
    }

    std::size_t pendingReplies() { return replies->count(); }

    // The next message the service sent unasked, or the connection's last event (an error).
    xpc::Object nextEvent()
    {
        xpc::Object event = events->next();
        if (event.errorValue() != nullptr)
            ended = true;
        return event;
    }

    void close()
    {
        if (closed)
            return;
        closed = true;
        connection->cancel();
        while (!ended)
            nextEvent();
    }

private:
    std::shared_ptr<xpc::Connection> connection;
    std::shared_ptr<Mailbox<xpc::Object>> events;
    std::shared_ptr<Mailbox<xpc::Object>> replies = std::make_shared<Mailbox<xpc::Object>>();
    bool closed = false;
    bool ended = false;
};

} // namespace testing_support
