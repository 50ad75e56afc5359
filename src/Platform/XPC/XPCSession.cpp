#include "Platform/XPC/XPCSession.h"

#include "Platform/OS/Logger.h"

#include <atomic>
#include <string>

namespace xpc {

struct XPCSession::State {
    std::string machService;
    std::shared_ptr<Connection> connection;
    std::atomic<bool> cancelled { false };
};

XPCSession::XPCSession(
    std::string_view machService, InitializationOptions options, CancellationHandler cancellationHandler)
    : state(std::make_shared<State>())
{
    state->machService = machService;
    state->connection = Connection::createMachService(machService);
    state->connection->setEventHandler([handler = std::move(cancellationHandler)](const Object& event) {
        if (const XPCRichError* error = event.errorValue(); error != nullptr && handler)
            handler(*error);
    });
    if (options == InitializationOptions::none)
        state->connection->activate();
}

void XPCSession::requireNotCancelled() const
{
    if (state->cancelled.load())
        throw XPCRichError(XPCRichError::Code::connectionInvalid, "The session has been cancelled");
}

void XPCSession::activate()
{
    requireNotCancelled();
    state->connection->activate();
}

void XPCSession::send(const XPCDictionary& message)
{
    requireNotCancelled();
    state->connection->sendMessage(message);
}

void XPCSession::send(const XPCDictionary& message, ReplyHandler replyHandler)
{
    requireNotCancelled();
    state->connection->sendMessageWithReply(
        message, [handler = std::move(replyHandler)](const Object& reply) {
            if (std::optional<XPCDictionary> dictionary = XPCDictionary::fromObject(reply))
                handler(*dictionary);
            else if (const XPCRichError* error = reply.errorValue())
                handler(*error);
            else
                handler(XPCRichError(XPCRichError::Code::connectionInvalid, "The reply is not a dictionary"));
        });
}

void XPCSession::cancel(std::string_view reason)
{
    static const os::Logger* const logger = new os::Logger("org.vorlane.xpc", "session");
    logger->info("Cancel session with %s: %s", state->machService, reason);
    state->cancelled.store(true);
    state->connection->cancel();
}

} // namespace xpc
