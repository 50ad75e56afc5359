// A request and its reply on an XPC session, awaited with a deadline.
//
// send(session, message, deadline, tolerance, clock, onTimeout) sends `message` with a reply
// handler that resolves a future, and awaits that future until `deadline` on `clock`. It
// returns the reply; fails with the session's XPCRichError; at the deadline throws
// tasks::CancellationError, or returns or throws what `onTimeout` does when one is given. A
// reply that arrives after the deadline resolves a future that nobody reads any more. The
// session is neither opened nor cancelled here.
#pragma once

#include "Platform/Tasks/Task.h"
#include "Platform/XPC/XPCSession.h"
#include "VLFoundation/AsyncFuture.h"

#include <exception>
#include <functional>
#include <optional>
#include <variant>

namespace vl {

template <typename Clock>
tasks::Task<xpc::XPCDictionary> send(xpc::XPCSession& session, xpc::XPCDictionary message,
                                     typename Clock::Instant deadline,
                                     std::optional<typename Clock::Duration> tolerance, Clock clock,
                                     std::function<xpc::XPCDictionary()> onTimeout = {})
{
    auto [future, promise] = AsyncFuture<xpc::XPCDictionary>::makeFuture();
    session.send(message, [promise](xpc::XPCSession::ReplyResult reply) mutable {
        if (auto* dictionary = std::get_if<xpc::XPCDictionary>(&reply))
            promise.resolveReturning(std::move(*dictionary));
        else
            promise.resolveThrowing(std::make_exception_ptr(std::get<xpc::XPCRichError>(reply)));
    });
    co_return co_await future->get(deadline, tolerance, clock, std::move(onTimeout));
}

} // namespace vl
