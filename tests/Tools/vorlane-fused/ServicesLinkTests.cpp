#include "vorlane-fused/ServicesLink.h"

#include "Common/ServiceNames.h"
#include "Common/ServiceProtocol.h"
#include "Platform/OS/Logger.h"
#include "Platform/Tasks/Spawn.h"
#include "Support/Mailbox.h"
#include "Support/XPCTestServer.h"
#include "VLFoundation/XPCEntries.h"
#include "vorlane-fused/DaemonError.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
namespace keys = services::protocol;

// A daemon service of the test's own: each request goes to the test's answer routine, on the
// peer's thread, with the peer, so that it can reply, send more or hang up.
struct FakeDaemonService : TestServer {
    explicit FakeDaemonService(Responder answer)
        : TestServer(
            xpc::Connection::createMachServiceListener(services::daemonServiceName()), std::move(answer))
    {
    }
    ~FakeDaemonService() { stop(); }
};

class ServicesLinkTest : public testing::Test {
protected:
    ServicesLinkTest() { listener->activate(); }
    ~ServicesLinkTest() override { listener->cancel(); }

    // The reply to `request` granting `volume`, with the key named `missing` left out; "Success"
    // makes it a refusal that says why, "Error" one whose success is no boolean and says nothing.
    xpc::XPCDictionary grantFor(const xpc::XPCDictionary& request, const std::string& missing = "")
    {
        xpc::XPCDictionary grant = *xpc::XPCDictionary::createReply(request);
        grant.setBoolean(keys::successKey, missing != "Success");
        if (missing == "Success")
            grant.setString(keys::errorKey, "no room for images");
        if (missing == "Error")
            grant.setString(keys::successKey, "yes");
        if (missing != "Volume")
            vl::setEntry(grant, keys::volumeKey, std::optional(volume));
        if (missing != "Endpoint")
            grant.setValue(keys::endpointKey, xpc::Object::endpoint(*listener));
        if (missing != "BSDName")
            grant.setString(keys::bsdNameKey, "loop3");
        return grant;
    }

    std::string failureOf(fused::ServicesLink& link, std::chrono::nanoseconds timeLimit = 60s)
    {
        try {
            tasks::runBlocking(link.requestVolume({ "memfs" }, std::nullopt, timeLimit));
        } catch (const fused::DaemonError& error) {
            return error.what();
        }
        return "no DaemonError";
    }

    foundation::UUID volume;
    std::shared_ptr<xpc::Connection> listener = xpc::Connection::createAnonymousListener();
    std::shared_ptr<Mailbox<bool>> gone = std::make_shared<Mailbox<bool>>();
    std::function<void()> onDeviceGone = [gone = gone] { gone->push(true); };
};

TEST_F(ServicesLinkTest, aRefusalOrAnIncompleteGrantFailsTheRequest)
{
    // Each case: the key the answer lacks, and what the failure then says.
    for (auto [missing, said] : std::vector<std::pair<std::string, std::string>> {
             { "Success", "no room for images" },
             { "Error", "did not say why" },
             { "Volume", "without" },
             { "Endpoint", "without" },
             { "BSDName", "without" },
         }) {
        FakeDaemonService service(
            [this, missing = missing](const xpc::XPCDictionary& request, xpc::Connection& peer) {
                peer.sendMessage(grantFor(request, missing));
            });
        fused::ServicesLink link(onDeviceGone);
        EXPECT_NE(failureOf(link).find(said), std::string::npos) << missing;
    }
}

TEST_F(ServicesLinkTest, deviceGoneIsToldButOtherMessagesAreNot)
{
    os::LogCapture log;
    FakeDaemonService service([this](const xpc::XPCDictionary& request, xpc::Connection& peer) {
        peer.sendMessage(grantFor(request));
        xpc::XPCDictionary unrelated;
        unrelated.setString(keys::operationKey, "volume-advertise");
        peer.sendMessage(unrelated);
        xpc::XPCDictionary deviceGone;
        deviceGone.setString(keys::operationKey, std::string(keys::deviceGone));
        vl::setEntry(deviceGone, keys::volumeKey, std::optional(volume));
        peer.sendMessage(deviceGone);
    });
    fused::ServicesLink link(onDeviceGone);
    tasks::runBlocking(link.requestVolume({ "memfs" }, std::nullopt, 60s));
    gone->next();
    // Messages arrive in order: the unrelated one had been ignored before.
    std::vector<std::string> errors = log.texts(os::LogLevel::error);
    EXPECT_TRUE(std::any_of(errors.begin(), errors.end(),
        [](const std::string& text) { return text.starts_with("Ignored a message of the daemon service"); }));
    EXPECT_TRUE(log.contains(os::LogLevel::info, "The device of volume " + volume.uuidString() + " is gone"));
}

// Without the daemon service there is no link; services that hang up fail the request and the
// device is gone; a request they never answer ends at its time limit.
TEST_F(ServicesLinkTest, servicesThatAreAbsentHangUpOrStaySilentFailTheRequest)
{
    EXPECT_THROW(fused::ServicesLink link(onDeviceGone), xpc::XPCRichError);
    {
        FakeDaemonService service([](const xpc::XPCDictionary&, xpc::Connection& peer) { peer.cancel(); });
        fused::ServicesLink link(onDeviceGone);
        EXPECT_THROW(
            tasks::runBlocking(link.requestVolume({ "memfs" }, std::nullopt, 60s)), xpc::XPCRichError);
        gone->next();
    }
    FakeDaemonService service([](const xpc::XPCDictionary&, xpc::Connection&) {});
    fused::ServicesLink link(onDeviceGone);
    EXPECT_NE(failureOf(link, 0ns).find("time limit"), std::string::npos);
}

} // namespace
