// An XPC service outside the extension that the volume talks to: the broker, which learns where
// a volume listens for its daemon, and the daemon service, which hears when a device goes away.
//
// process(operation, initializer) runs one request/reply exchange on a fresh session: the
// initializer fills the request, "Operation" is set last (so the initializer cannot change it),
// the reply is awaited until 10 seconds from now on the given clock, and the session is
// cancelled whatever the outcome. Failures to reach the service (XPCRichError) and the deadline
// (tasks::CancellationError) are passed on.
#pragma once

#include "Platform/Tasks/Clock.h"
#include "Platform/Tasks/Task.h"
#include "Platform/XPC/XPCDictionary.h"
#include "Platform/XPC/XPCSession.h"
#include "VLFoundation/SessionExchange.h"

#include <chrono>
#include <functional>
#include <string>

namespace vl {

class Service {
public:
    using Initializer = std::function<void(xpc::XPCDictionary& request)>;

    static constexpr std::chrono::seconds replyDeadline { 10 };

    explicit Service(std::string machService)
        : machService(std::move(machService))
    {
    }

    static const Service& broker();
    static const Service& daemon();

    template <tasks::Clock C = tasks::ContinuousClock>
    tasks::Task<xpc::XPCDictionary> process(
        std::string operation, Initializer initializer, C clock = C()) const
    {
        return exchange(machService, std::move(operation), std::move(initializer), clock);
    }

    const std::string machService;

private:
    template <tasks::Clock C>
    static tasks::Task<xpc::XPCDictionary> exchange(
        std::string machService, std::string operation, Initializer initializer, C clock)
    {
        xpc::XPCSession session(machService);
        xpc::XPCDictionary request;
        initializer(request);
        request.setString("Operation", operation);
        tasks::Result<xpc::XPCDictionary> reply = co_await tasks::catching(
            send(session, request, clock.now() + replyDeadline, std::nullopt, clock));
        session.cancel("done");
        co_return std::move(reply).get();
    }
};

} // namespace vl
