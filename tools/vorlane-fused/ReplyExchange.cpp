#include "vorlane-fused/ReplyExchange.h"

#include "Platform/Tasks/Cancellation.h"
#include "Platform/Tasks/Clock.h"
#include "VLFoundation/AsyncFuture.h"
#include "vorlane-fused/DaemonError.h"

#include <optional>

namespace fused {

tasks::Task<xpc::XPCDictionary> exchange(xpc::Connection& connection, xpc::XPCDictionary request,
    std::chrono::nanoseconds timeLimit, std::string late)
{
    vl::AsyncFuture<xpc::XPCDictionary>::Pair answer = vl::AsyncFuture<xpc::XPCDictionary>::makeFuture();
    connection.sendMessageWithReply(request, [promise = answer.promise](const xpc::Object& reply) {
        if (std::optional<xpc::XPCDictionary> dictionary = xpc::XPCDictionary::fromObject(reply))
            promise.resolveReturning(*dictionary);
        else if (const xpc::XPCRichError* error = reply.errorValue())
            promise.resolveThrowing(std::make_exception_ptr(*error));
        else
            promise.resolveThrowing(std::make_exception_ptr(DaemonError("The reply is not a dictionary")));
    });
    std::optional<xpc::XPCDictionary> reply;
    try {
        reply = co_await answer.future->get(
            tasks::ContinuousClock::now() + timeLimit, std::nullopt, tasks::ContinuousClock {});
    } catch (const tasks::CancellationError&) {
        throw DaemonError(late);
    }
    co_return *reply;
}

} // namespace fused
