#include "VLFSModule/Volume.h"

#include "Platform/FSKit/FSError.h"
#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/POSIXErrorCode.h"
#include "Platform/Tasks/Clock.h"
#include "Platform/XPC/Connection.h"
#include "Platform/XPC/XPCDictionary.h"
#include "VLChannel/SocketTransportMedium.h"
#include "VLFSModule/FSModuleLogger.h"
#include "VLFSModule/Parameters.h"
#include "VLFSModule/Service.h"
#include "VLFoundation/AsyncFuture.h"
#include "VLFoundation/XPCEntries.h"

#include <atomic>

namespace vl {
namespace {

using ChannelFuture = AsyncFuture<std::shared_ptr<Channel>>;

// Answers the daemon's connection message with the remote end of a new socket pair and makes
// the channel on the local end; every outcome goes to the promise.
void answerDaemon(
    const xpc::XPCDictionary& message, xpc::Connection& peer, const ChannelFuture::Promise& promise)
{
    std::optional<xpc::XPCArray> options = entry<xpc::XPCArray>(message, "Options");
    if (!options || message.string("ChannelType") != "Socket") {
        promise.resolveThrowing(std::make_exception_ptr(Volume::VError::unexpectedMessage()));
        return;
    }
    fsModule().info("Mount options: %s", options->debugDescription());
    std::pair<std::shared_ptr<foundation::FileHandle>, std::shared_ptr<foundation::FileHandle>> ends;
    try {
        ends = makeSocketPair();
    } catch (...) {
        fsModule().error("Failed to create socket pair: %@", std::current_exception());
        promise.resolveThrowing(std::current_exception());
        return;
    }
    xpc::XPCDictionary reply = xpc::XPCDictionary::createReply(message).value_or(xpc::XPCDictionary());
    setEntry(reply, "FileHandle", ends.second);
    peer.sendMessage(reply);
    fsModule().info("Creating channel");
    promise.resolveReturning(std::make_shared<Channel>(std::make_unique<SocketTransportMedium>(ends.first)));
}

tasks::Task<std::shared_ptr<Channel>> waitForDaemon(std::shared_ptr<ChannelFuture> future)
{
    tasks::ContinuousClock clock;
    ChannelFuture::OnTimeout onTimeout = []() -> std::shared_ptr<Channel> {
        throw foundation::POSIXError(
            posix::etimedout, "The file system daemon did not connect to the volume");
    };
    co_return co_await future->get(
        clock.now() + Volume::daemonConnectionDeadline, std::nullopt, clock, onTimeout);
}

} // namespace

tasks::Task<std::shared_ptr<Channel>> Volume::connect(foundation::UUID volume)
{
    ChannelFuture::Pair made = ChannelFuture::makeFuture();
    std::shared_ptr<xpc::Connection> listener = xpc::Connection::createAnonymousListener();
    if (listener->setPeerCodeSigningRequirement(Parameters::peerCodeSigningRequirements()) != 0) {
        fsModule().error("Failed to set XPC peer code signing requirement");
        listener->cancel();
        throw VError::peerCodeSigningRequirement();
    }
    // The first dictionary from any peer decides; later ones are refused by cancelling their peer.
    auto decided = std::make_shared<std::atomic<bool>>(false);
    listener->setEventHandler([promise = made.promise, decided](const xpc::Object& event) {
        std::shared_ptr<xpc::Connection> peer = event.connectionValue();
        if (!peer)
            return;
        peer->setEventHandler([promise, decided, weakPeer = std::weak_ptr(peer)](const xpc::Object& message) {
            std::optional<xpc::XPCDictionary> dictionary = xpc::XPCDictionary::fromObject(message);
            std::shared_ptr<xpc::Connection> peer = weakPeer.lock();
            if (!dictionary || !peer)
                return;
            if (!decided->exchange(true))
                answerDaemon(*dictionary, *peer, promise);
            peer->cancel();
        });
        peer->activate();
    });
    listener->activate();
    xpc::Object endpoint = xpc::Object::endpoint(*listener);
    // Named first (g++ 12, see Task.h).
    auto advertiseAndWait = [&]() -> tasks::Task<std::shared_ptr<Channel>> {
        co_await advertise(volume, endpoint);
        co_return co_await waitForDaemon(made.future);
    };
    tasks::Result<std::shared_ptr<Channel>> outcome = co_await tasks::catching(advertiseAndWait());
    listener->cancel();
    co_return std::move(outcome).get();
}

tasks::Task<void> Volume::advertise(foundation::UUID volume, xpc::Object endpoint)
{
    fsModule().info("Advertising volume %s", volume.uuidString());
    Service::Initializer initializer = [&volume, &endpoint](xpc::XPCDictionary& request) {
        setEntry(request, "Volume", std::optional<foundation::UUID>(volume));
        request.setValue("Endpoint", endpoint);
    };
    xpc::XPCDictionary reply = co_await Service::broker().process("volume-advertise", initializer);
    if (reply.boolean("Success") == true) {
        fsModule().error("Volume %s has been discovered", volume.uuidString());
        co_return;
    }
    fsModule().error("Volume %s has not been discovered", volume.uuidString());
    throw VError::advertiseFailed();
}

} // namespace vl
