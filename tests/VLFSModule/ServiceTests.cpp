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

// The operation goes in last, over what the initializer set; a broker that never answers fails
// the exchange at the reply deadline, and an unreachable one at once.
TEST(Service, ProcessSendsTheOperationLastAndReturnsTheReplyOrFailsAtTheDeadline)
{
    vl::Service answering("org.vorlane.test.answering");
    TestServer server(xpc::Connection::createMachServiceListener(answering.machService),
        [](const xpc::XPCDictionary& request, xpc::Connection& peer) {
            auto reply = xpc::XPCDictionary::createReply(request);
            reply->setString("Seen",
                request.string("Operation").value_or("") + "/" + request.string("Volume").value_or(""));
            peer.sendMessage(*reply);
        });
    xpc::XPCDictionary reply = tasks::runBlocking(exchange(answering, "volume-advertise", {}));
    EXPECT_EQ(reply.string("Seen"), "volume-advertise/V");

    vl::Service silent("org.vorlane.test.silent");
    TestServer silentServer(xpc::Connection::createMachServiceListener(silent.machService),
        [](const xpc::XPCDictionary&, xpc::Connection&) {});
    testing_support::ManualClock clock;
    tasks::TaskHandle<xpc::XPCDictionary> waiting = tasks::spawn(exchange(silent, "volume-advertise", clock));
    clock.waitForSleepers(1);
    clock.advance(vl::Service::replyDeadline);
    // A sleeper left means the deadline was not reached: fail within the wait limit instead of hanging.
    testing_support::waitUntil([&clock] { return clock.sleeperCount() == 0; });
    EXPECT_THROW(tasks::runBlocking(waiting.value()), tasks::CancellationError);
    EXPECT_THROW(
        tasks::runBlocking(exchange(vl::Service("org.vorlane.test.nobody"), "device-deactivate", {})),
        xpc::XPCRichError);
    for (TestServer* ended : { &server, &silentServer }) {
        ended->waitUntilPeersEnded(1);
        ended->stop();
    }
}

} // namespace
