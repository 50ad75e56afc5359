// The other process of the cross-process XPC tests. It asks the named service for a volume UUID,
// an endpoint and a descriptor ("hello"), then connects to that endpoint and:
//   exchange SERVICE        sends back the UUID, what it read from the descriptor and a pipe of
//                           its own, and expects "Success" = true in the reply;
//   as-other-user SERVICE   first becomes user and group 65534, then expects to be turned away.
// Its exit status tells the test which step failed (0: all went as expected).
#include "Platform/Foundation/FileHandle.h"
#include "Platform/Foundation/Pipe.h"
#include "Platform/XPC/Connection.h"
#include "Platform/XPC/XPCSession.h"

#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <future>
#include <string>

namespace {

enum Failure {
    usage = 2,
    serviceUnreachable,
    helloFailed,
    helloIncomplete,
    endpointUnreachable,
    replyFailed,
    notSuccessful,
    cannotChangeUser,
    admittedAsOtherUser,
};

xpc::Object awaitReply(xpc::Connection& connection, const xpc::XPCDictionary& message)
{
    std::promise<xpc::Object> reply;
    connection.sendMessageWithReply(message, [&](const xpc::Object& object) { reply.set_value(object); });
    return reply.get_future().get();
}

int run(const std::string& mode, const std::string& service)
{
    std::optional<xpc::XPCSession> session;
    try {
        session.emplace(service);
    } catch (const xpc::XPCRichError& error) {
        std::fprintf(stderr, "helper: %s\n", error.what());
        return serviceUnreachable;
    }
    xpc::XPCDictionary hello;
    hello.setString("Operation", "hello");
    std::promise<xpc::XPCSession::ReplyResult> helloReply;
    session->send(hello, [&](xpc::XPCSession::ReplyResult reply) { helloReply.set_value(std::move(reply)); });
    xpc::XPCSession::ReplyResult result = helloReply.get_future().get();
    auto* answer = std::get_if<xpc::XPCDictionary>(&result);
    if (answer == nullptr)
        return helloFailed;
    std::optional<xpc::Object> volume = answer->value("Volume");
    std::optional<xpc::Object> endpoint = answer->value("Endpoint");
    std::optional<xpc::Object> descriptor = answer->value("FileHandle");
    if (!volume || volume->uuidBytes() == nullptr || !endpoint || !descriptor)
        return helloIncomplete;
    foundation::FileHandle received(descriptor->dupFileDescriptor());
    std::optional<foundation::Data> text = received.readToEnd();

    if (mode == "as-other-user") {
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            return cannotChangeUser;
    }
    std::shared_ptr<xpc::Connection> connection;
    try {
        connection = xpc::Connection::createFromEndpoint(*endpoint);
    } catch (const xpc::XPCRichError& error) {
        std::fprintf(stderr, "helper: %s\n", error.what());
        return endpointUnreachable;
    }
    connection->setEventHandler([](const xpc::Object&) {});
    connection->activate();

    foundation::Pipe pipe;
    pipe.fileHandleForWriting()->write(foundation::Data(std::string_view("from helper")));
    pipe.fileHandleForWriting()->close();
    xpc::XPCDictionary message;
    message.setValue("Volume", xpc::Object::uuid(volume->uuidBytes()));
    message.setString("Text", text ? text->decodedAsUTF8() : "");
    message.setValue(
        "FileHandle", xpc::Object::fileDescriptor(pipe.fileHandleForReading()->fileDescriptor()));
    xpc::Object reply = awaitReply(*connection, message);
    connection->cancel();
    session->cancel("done");

    std::optional<xpc::XPCDictionary> dictionary = xpc::XPCDictionary::fromObject(reply);
    if (mode == "as-other-user")
        return dictionary ? admittedAsOtherUser : 0;
    if (!dictionary)
        return replyFailed;
    return dictionary->boolean("Success") == true ? 0 : notSuccessful;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "exchange") != 0 && std::strcmp(argv[1], "as-other-user") != 0))
        return usage;
    return run(argv[1], argv[2]);
}
