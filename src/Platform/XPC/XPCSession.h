// A session with a named XPC service: one client connection used for requests and replies.
//
// Made active unless asked otherwise; the constructor throws XPCRichError when the service
// cannot be reached. Reply handlers and the cancellation handler run on the session's own
// thread; the cancellation handler runs once, with the error that ended the session (after
// cancel(): connectionInvalid). Messages the service sends unasked are ignored. A handle: copies
// share the session. Safe to use from any thread.
#pragma once

#include "Platform/XPC/Connection.h"
#include "Platform/XPC/XPCDictionary.h"
#include "Platform/XPC/XPCRichError.h"

#include <functional>
#include <memory>
#include <string_view>
#include <variant>

namespace xpc {

class XPCSession {
public:
    enum class InitializationOptions { none, inactive };
    using CancellationHandler = std::function<void(const XPCRichError& error)>;
    using ReplyResult = std::variant<XPCDictionary, XPCRichError>;
    using ReplyHandler = std::function<void(ReplyResult reply)>;

    explicit XPCSession(std::string_view machService,
        InitializationOptions options = InitializationOptions::none,
        CancellationHandler cancellationHandler = {});

    // Starts an inactive session; throws XPCRichError once it has been cancelled.
    void activate();
    // Sends without waiting for a reply; throws XPCRichError once the session has been cancelled.
    void send(const XPCDictionary& message);
    // Sends and calls `replyHandler` once with the reply or the error that replaces it; throws
    // XPCRichError (and never calls the handler) once the session has been cancelled.
    void send(const XPCDictionary& message, ReplyHandler replyHandler);
    // Ends the session; `reason` says why, in the log.
    void cancel(std::string_view reason);

private:
    struct State;
    void requireNotCancelled() const;

    std::shared_ptr<State> state;
};

} // namespace xpc
