// A request and its reply on an XPC session, awaited with a deadline.
//
// send(session, message, deadline, tolerance, clock, onTimeout) sends `message` with a reply
// handler that resolves a future, and awaits that future until `deadline` on `clock`. It
// returns the reply; fails with the session's XPCRichError; at the deadline throws
// tasks::CancellationError, or returns or throws what `onTimeout` does when one is given. A
// reply that arrives after the deadline resolves a future that nobody reads any more. The
// session (a handle, copied into the exchange) is neither opened nor cancelled here.
#pragma once

#include "Platform/Tasks/Clock.h"
#include "Platform/Tasks/Task.h"
#include "Platform/XPC/XPCSession.h"
#include "VLFoundation/AsyncFuture.h"

#include <exception>
#include <functional>
#include <optional>
#include <variant>

namespace vl {

template <tasks::Clock C>
tasks::Task<xpc::XPCDictionary> send(xpc::XPCSession session, xpc::XPCDictionary message,
    typename C::Instant deadline, std::optional<typename C::Duration> tolerance, C clock,
    std::function<xpc::XPCDictionary()> onTimeout = {})
{
    auto pair = AsyncFuture<xpc::XPCDictionary>::makeFuture();
    session.send(message, [promise = pair.promise](xpc::XPCSession::ReplyResult reply) {
        if (auto* dictionary = std::get_if<xpc::XPCDictionary>(&reply))
            promise.resolveReturning(std::move(*dictionary));
        else
            promise.resolveThrowing(std::make_exception_ptr(std::get<xpc::XPCRichError>(reply)));
    });
    co_return co_await pair.future->get(deadline, tolerance, clock, std::move(onTimeout));
}

} // namespace vl
