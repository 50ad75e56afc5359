// An XPC connection over an AF_UNIX sequenced-packet socket: a listener (anonymous, or for a
// named service in the runtime directory), a peer connection that a listener accepted, or a
// client connection to a named service or to an endpoint.
//
// Events and reply handlers of one connection run in order on one thread of its own, started by
// activate(). A listener's events are new peer connections (Type::connection), which start
// inactive; a peer or client connection's events are received dictionaries. The last event is
// always an error (Type::error): connectionInvalid after cancel() or a refused peer check,
// connectionInterrupted when the peer went away; nothing follows it, the socket is closed before
// it is delivered, and handlers are released after it. Malformed messages are logged and dropped.
// A connection stays alive while activated, until that last event; cancel it when done.
// Sending is safe from any thread and never waits for the connection's thread. Handlers must
// not throw: an exception that leaves one ends the process, as an uncaught one does anywhere.
//
// Resources: a connection that cannot get its event descriptor or thread at activation ends at
// once (connectionInterrupted, delivered on the activating thread). A listener out of
// descriptors refuses the peer it cannot take (by closing it through a descriptor held in
// reserve) and goes on; out of memory it retries after a pause. A send that finds the peer not
// reading waits sendPatience for room, then cuts the connection off (both sides see it end)
// instead of blocking the sender.
#pragma once

#include "Platform/OS/UnfairLock.h"
#include "Platform/XPC/Descriptor.h"
#include "Platform/XPC/Object.h"
#include "Platform/XPC/SocketAddress.h"
#include "Platform/XPC/Wire.h"
#include "Platform/XPC/XPCDictionary.h"
#include "Platform/XPC/XPCRichError.h"

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace xpc {

class Connection : public std::enable_shared_from_this<Connection> {
public:
    using EventHandler = std::function<void(const Object& event)>;
    // Receives the reply dictionary or an error object.
    using ReplyHandler = std::function<void(const Object& reply)>;

    enum class Kind { anonymousListener, serviceListener, peer, client };

    // How long a send waits for a peer that does not read before cutting it off.
    static constexpr std::chrono::milliseconds sendPatience { 1000 };
    // How long a listener waits before it retries an accept that failed for want of memory.
    static constexpr std::chrono::milliseconds resourcePause { 50 };

    // A listener that only those who are given its endpoint can reach.
    static std::shared_ptr<Connection> createAnonymousListener();
    // The listener of the named service; throws XPCRichError when it cannot listen there.
    static std::shared_ptr<Connection> createMachServiceListener(std::string_view machServiceName);
    // A connection to the named service; throws XPCRichError when nothing listens there.
    static std::shared_ptr<Connection> createMachService(std::string_view machServiceName);
    // A connection to the listener behind `endpoint`; throws XPCRichError when it is not an
    // endpoint or nothing listens there.
    static std::shared_ptr<Connection> createFromEndpoint(const Object& endpoint);

    Connection(Kind kind, Descriptor socket, std::optional<SocketAddress> listeningAddress);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Requires of every peer that it satisfies `requirement` (on Linux: runs as the same user).
    // Answers 0, or EINVAL for an empty requirement or a connection already activated.
    int setPeerCodeSigningRequirement(std::string_view requirement);
    void setEventHandler(EventHandler handler);
    // Starts delivering events; a second call, or a call after cancel(), does nothing.
    void activate();
    // Ends the connection: no event but the final connectionInvalid error follows. An inactive
    // connection closes at once, without any event.
    void cancel();

    // Sends `message`, or the reply it is when made by XPCDictionary::createReply. A failure is
    // logged; a message that holds a connection or an error throws std::invalid_argument.
    void sendMessage(const XPCDictionary& message);
    // Sends `message` and calls `handler` once with the reply or an error, on this connection's
    // thread; when the connection has ended already, on the calling thread.
    void sendMessageWithReply(const XPCDictionary& message, ReplyHandler handler);

    Kind kind() const { return connectionKind; }
    // The user and process that connected (peer) or that listen (client); -1 for listeners.
    uid_t peerUserID() const { return peerUser; }
    pid_t peerProcessID() const { return peerProcess; }
    // Where a listener listens; a fatal error for other kinds.
    const SocketAddress& listeningAddress() const;

private:
    enum class State { inactive, active, ended };

    void run();
    std::optional<XPCRichError> checkServer();
    XPCRichError acceptPeers(int listener, int wake);
    XPCRichError receiveMessages(int socket, int wake);
    // Waits until `socket` or `wake` is readable; answers false when cancelled meanwhile.
    bool waitReadable(int socket, int wake);
    // Waits resourcePause or until woken; answers false when cancelled.
    bool pauseUnlessWoken(int wake);
    void dispatch(wire::Frame frame);
    void deliver(const Object& event);
    void finish(const XPCRichError& error);
    bool send(wire::FrameKind kind, std::uint64_t identifier, const XPCDictionary& message);
    bool peerIsAcceptable(uid_t user) const;

    const Kind connectionKind;
    const std::optional<SocketAddress> address;
    uid_t peerUser = static_cast<uid_t>(-1);
    pid_t peerProcess = -1;
    std::atomic<bool> cancelRequested { false };
    std::atomic<std::uint64_t> nextMessageIdentifier { 1 };

    mutable os::UnfairLock lock;
    State state VL_GUARDED_BY(lock) = State::inactive;
    std::shared_ptr<Descriptor> socket VL_GUARDED_BY(lock);
    Descriptor wake VL_GUARDED_BY(lock);
    std::optional<std::string> requirement VL_GUARDED_BY(lock);
    EventHandler eventHandler VL_GUARDED_BY(lock);
    std::map<std::uint64_t, ReplyHandler> pendingReplies VL_GUARDED_BY(lock);
};

} // namespace xpc
