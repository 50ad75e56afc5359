#include "VLFSModule/Parameters.h"
#include "VLFSModule/Service.h"
#include "VLFoundation/BuildConfig.h"

#include "Support/ManualClock.h"
#include "Support/XPCTestServer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace std::chrono_literals;

TEST(Service, NamesAndRequirementAreFormedFromTheBuildIdentity)
{
    std::string team(vl::BuildConfig::signingTeamIdentifier);
    std::string variant(vl::BuildConfig::variantIdentifier);
    EXPECT_EQ(vl::Service::broker().machService, team + "." + variant + ".app.launchservice.broker.xpc");
    EXPECT_EQ(vl::Service::daemon().machService, team + "." + variant + ".app.launchservice.daemon.xpc");
    EXPECT_EQ(vl::Parameters::peerCodeSigningRequirements(),
        "anchor apple generic and certificate leaf[subject.OU] = \"" + team + "\" and identifier \"" + variant
            + ".app\"");
}

tasks::Task<xpc::XPCDictionary> exchange(
    vl::Service service, std::string operation, testing_support::ManualClock clock)
{
    auto initializer = [](xpc::XPCDictionary& request) {
        request.setString("Volume", "V");
        request.setString("Operation", "overridden");
    };
    co_return co_await service.process(std::move(operation), initializer, clock);
}

TEST(Service, ProcessSendsTheOperationLastAndReturnsTheReply)
{
    vl::Service service("org.vorlane.test.answering");
    TestServer server(xpc::Connection::createMachServiceListener(service.machService),
        [](const xpc::XPCDictionary& request, xpc::Connection& peer) {
            auto reply = xpc::XPCDictionary::createReply(request);
            reply->setString("Seen",
                request.string("Operation").value_or("") + "/" + request.string("Volume").value_or(""));
            peer.sendMessage(*reply);
        });
    xpc::XPCDictionary reply = tasks::runBlocking(exchange(service, "volume-advertise", {}));
    EXPECT_EQ(reply.string("Seen"), "volume-advertise/V");
    server.waitUntilPeersEnded(1);
    server.stop();
}

TEST(Service, ABrokerThatNeverAnswersFailsAtTheDeadlineAndAnUnreachableOneAtOnce)
{
    vl::Service service("org.vorlane.test.silent");
    TestServer server(xpc::Connection::createMachServiceListener(service.machService),
        [](const xpc::XPCDictionary&, xpc::Connection&) {});
    testing_support::ManualClock clock;
    tasks::TaskHandle<xpc::XPCDictionary> waiting
        = tasks::spawn(exchange(service, "volume-advertise", clock));
    clock.waitForSleepers(1);
    clock.advance(vl::Service::replyDeadline);
    EXPECT_THROW(tasks::runBlocking(waiting.value()), tasks::CancellationError);
    server.waitUntilPeersEnded(1);
    server.stop();

    EXPECT_THROW(
        tasks::runBlocking(exchange(vl::Service("org.vorlane.test.nobody"), "device-deactivate", {})),
        xpc::XPCRichError);
}

} // namespace
