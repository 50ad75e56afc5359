// The volume's side of the launch services, for tests and the fake host program: it reads its
// UUID from the first 16 bytes of its device, listens anonymously, advertises itself to the
// broker, answers a daemon's call with one end of a socket pair, and tells the daemon service
// that its device is gone.
//
// Each daemon call is handed to the test through nextCall(), on the test's thread. Destroying a
// fake volume waits until its listener's socket is closed.
#pragma once

#include "Common/ServiceNames.h"
#include "Common/ServiceProtocol.h"
#include "Platform/Foundation/FileHandle.h"
#include "Platform/Foundation/UUID.h"
#include "Platform/XPC/Connection.h"
#include "Support/DeviceImage.h"
#include "Support/Mailbox.h"
#include "Support/TestClient.h"
#include "VLFoundation/XPCEntries.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace testing_support {

namespace keys = services::protocol;

// Sends `message` to the named service on a connection of its own and answers the reply.
inline xpc::XPCDictionary exchangeWithService(const std::string& service, const xpc::XPCDictionary& message)
{
    TestClient client(service);
    return client.exchange(message);
}

// Sends `message` without awaiting a reply, as deactivation does.
inline void sendToService(const std::string& service, const xpc::XPCDictionary& message)
{
    TestClient client(service);
    client.send(message);
}

class FakeVolume {
public:
    // What a daemon's call brought: its keys as read, and the volume's end of the socket pair
    // when the call asked for a socket (then the daemon got the other end).
    struct Call {
        std::optional<std::string> channelType;
        std::optional<xpc::XPCArray> options;
        std::shared_ptr<foundation::FileHandle> socket;
    };

    explicit FakeVolume(const std::string& devicePath)
        : volume(DeviceImage::identityOf(devicePath))
        , listener(xpc::Connection::createAnonymousListener())
        , calls(std::make_shared<Mailbox<Call>>())
    {
        listener->setEventHandler([calls = calls, ended = ended](const xpc::Object& event) {
            std::shared_ptr<xpc::Connection> peer = event.connectionValue();
            if (!peer) {
                ended->push(true);
                return;
            }
            peer->setEventHandler([calls, weakPeer = std::weak_ptr(peer)](const xpc::Object& message) {
                std::shared_ptr<xpc::Connection> peer = weakPeer.lock();
                std::optional<xpc::XPCDictionary> dictionary = xpc::XPCDictionary::fromObject(message);
                if (!peer || !dictionary)
                    return;
                calls->push(answer(*peer, *dictionary));
                peer->cancel();
            });
            peer->activate();
        });
        listener->activate();
    }

    ~FakeVolume()
    {
        listener->cancel();
        ended->next();
    }
    FakeVolume(const FakeVolume&) = delete;
    FakeVolume& operator=(const FakeVolume&) = delete;

    const foundation::UUID& identifier() const { return volume; }
    xpc::Object endpoint() const { return xpc::Object::endpoint(*listener); }

    // Sends "volume-advertise" for this volume (or another UUID) and answers the reply.
    xpc::XPCDictionary advertise(std::optional<foundation::UUID> advertised = std::nullopt) const
    {
        xpc::XPCDictionary message;
        vl::setEntry(message, keys::volumeKey, std::optional(advertised.value_or(volume)));
        message.setValue(keys::endpointKey, endpoint());
        message.setString(keys::operationKey, std::string(keys::volumeAdvertise));
        return exchangeWithService(services::brokerServiceName(), message);
    }

    Call nextCall() { return calls->next(); }

    // Sends "device-deactivate" for `bsdName`; with `awaitReply`, answers the services' reply.
    static std::optional<xpc::XPCDictionary> deactivate(const std::string& bsdName, bool awaitReply)
    {
        xpc::XPCDictionary message;
        message.setString(keys::bsdNameKey, bsdName);
        message.setString(keys::operationKey, std::string(keys::deviceDeactivate));
        if (awaitReply)
            return exchangeWithService(services::daemonServiceName(), message);
        sendToService(services::daemonServiceName(), message);
        return std::nullopt;
    }

private:
    static Call answer(xpc::Connection& peer, const xpc::XPCDictionary& message)
    {
        Call call { message.string(keys::channelTypeKey), vl::entry<xpc::XPCArray>(message, keys::optionsKey),
            nullptr };
        if (call.channelType != keys::socketChannelType || !call.options)
            return call;
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            return call;
        call.socket = std::make_shared<foundation::FileHandle>(ends[0]);
        auto remote = std::make_shared<foundation::FileHandle>(ends[1]);
        if (std::optional<xpc::XPCDictionary> reply = xpc::XPCDictionary::createReply(message)) {
            vl::setEntry(*reply, keys::fileHandleKey, remote);
            peer.sendMessage(*reply);
        }
        return call;
    }

    foundation::UUID volume;
    std::shared_ptr<xpc::Connection> listener;
    std::shared_ptr<Mailbox<Call>> calls;
    std::shared_ptr<Mailbox<bool>> ended = std::make_shared<Mailbox<bool>>();
};

} // namespace testing_support
