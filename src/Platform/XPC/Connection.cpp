#include "Platform/XPC/Connection.h"

#include "Platform/Foundation/UUID.h"
#include "Platform/OS/FatalError.h"
#include "Platform/OS/Logger.h"
#include "Platform/XPC/ObjectStorage.h"
#include "Platform/XPC/RuntimeDirectory.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

namespace xpc {

namespace {

const os::Logger& logger()
{
    // Never destroyed: connection threads may still log while the process exits.
    static const os::Logger* const instance = new os::Logger("org.vorlane.xpc", "connection");
    return *instance;
}

XPCRichError cancelledError()
{
    return XPCRichError(XPCRichError::Code::connectionInvalid, "The connection has been cancelled");
}

XPCRichError endedError()
{
    return XPCRichError(XPCRichError::Code::connectionInvalid, "The connection has ended");
}

XPCRichError interruptedError(const std::string& why)
{
    return XPCRichError(XPCRichError::Code::connectionInterrupted, why);
}

std::vector<Descriptor> receivedDescriptors(msghdr& message)
{
    std::vector<Descriptor> descriptors;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
         header = CMSG_NXTHDR(&message, header)) {
        if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS)
            continue;
        std::size_t count = (header->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (std::size_t index = 0; index < count; ++index) {
            int descriptor;
            std::memcpy(&descriptor, CMSG_DATA(header) + index * sizeof(int), sizeof descriptor);
            descriptors.emplace_back(descriptor);
        }
    }
    return descriptors;
}

} // namespace

std::shared_ptr<Connection> Connection::createAnonymousListener()
{
    SocketAddress address { true, "vorlane.xpc.endpoint." + foundation::UUID().uuidString() };
    Descriptor socket = listenOn(address);
    return std::make_shared<Connection>(Kind::anonymousListener, std::move(socket), address);
}

std::shared_ptr<Connection> Connection::createMachServiceListener(std::string_view machServiceName)
{
    SocketAddress address { false, servicePath(machServiceName) };
    makeRuntimeDirectory();
    Descriptor socket = listenOn(address);
    return std::make_shared<Connection>(Kind::serviceListener, std::move(socket), address);
}

std::shared_ptr<Connection> Connection::createMachService(std::string_view machServiceName)
{
    SocketAddress address { false, servicePath(machServiceName) };
    return std::make_shared<Connection>(Kind::client, connectTo(address), std::nullopt);
}

std::shared_ptr<Connection> Connection::createFromEndpoint(const Object& endpoint)
{
    auto* value = std::get_if<EndpointValue>(&endpoint.underlyingStorage()->value);
    if (value == nullptr)
        throw XPCRichError(
            XPCRichError::Code::connectionInvalid, "Not an endpoint: " + endpoint.debugDescription());
    return std::make_shared<Connection>(Kind::client, connectTo(value->address), std::nullopt);
}

Connection::Connection(Kind kind, Descriptor connectedSocket, std::optional<SocketAddress> listeningAddress)
    : connectionKind(kind)
    , address(std::move(listeningAddress))
    , socket(std::make_shared<Descriptor>(std::move(connectedSocket)))
{
    if (kind == Kind::peer || kind == Kind::client) {
        ucred credentials {};
        socklen_t length = sizeof credentials;
        if (::getsockopt(socket->get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0) {
            peerUser = credentials.uid;
            peerProcess = credentials.pid;
        }
    }
}

Connection::~Connection()
{
    os::UnfairLockGuard guard(lock);
    if (state != State::ended && connectionKind == Kind::serviceListener)
        ::unlink(address->name.c_str());
}

const SocketAddress& Connection::listeningAddress() const
{
    if (!address)
        vl::fatalError("Only a listener connection has an endpoint", "XPC/Connection");
    return *address;
}

int Connection::setPeerCodeSigningRequirement(std::string_view text)
{
    os::UnfairLockGuard guard(lock);
    if (text.empty() || state != State::inactive)
        return EINVAL;
    requirement = std::string(text);
    return 0;
}

void Connection::setEventHandler(EventHandler handler)
{
    os::UnfairLockGuard guard(lock);
    if (state != State::ended)
        eventHandler = std::move(handler);
}

void Connection::activate()
{
    std::optional<std::string> failure;
    {
        os::UnfairLockGuard guard(lock);
        if (state != State::inactive)
            return;
        wake = Descriptor(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
        if (!wake.isValid())
            failure = std::string("Cannot make the event descriptor of an XPC connection: ")
                + std::strerror(errno);
        state = State::active;
    }
    if (!failure) {
        try {
            std::thread([self = shared_from_this()] { self->run(); }).detach();
            return;
        } catch (const std::system_error& error) {
            failure = std::string("Cannot start the thread of an XPC connection: ") + error.what();
        }
    }
    // Out of descriptors, memory or threads: this connection ends at once (its last event on
    // the calling thread, as no thread of its own exists), the process goes on.
    logger().error("%s", *failure);
    finish(interruptedError(*failure));
}

void Connection::cancel()
{
    cancelRequested.store(true);
    EventHandler released;
    os::UnfairLockGuard guard(lock);
    if (state == State::active) {
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(wake.get(), &one, sizeof one);
        return;
    }
    if (state == State::ended)
        return;
    state = State::ended;
    if (socket.use_count() > 1)
        ::shutdown(socket->get(), SHUT_RDWR);
    socket.reset();
    // Released after the lock: the handler may hold the last reference to this connection.
    released = std::move(eventHandler);
    eventHandler = nullptr;
    if (connectionKind == Kind::serviceListener)
        ::unlink(address->name.c_str());
}

bool Connection::peerIsAcceptable(uid_t user) const
{
    os::UnfairLockGuard guard(lock);
    return !requirement.has_value() || user == ::geteuid();
}

void Connection::run()
{
    std::optional<XPCRichError> end;
    {
        std::shared_ptr<Descriptor> held;
        int wakeDescriptor;
        {
            os::UnfairLockGuard guard(lock);
            held = socket;
            wakeDescriptor = wake.get();
        }
        if (connectionKind == Kind::anonymousListener || connectionKind == Kind::serviceListener)
            end = acceptPeers(held->get(), wakeDescriptor);
        else {
            if (connectionKind == Kind::client)
                end = checkServer();
            if (!end)
                end = receiveMessages(held->get(), wakeDescriptor);
        }
    }
    finish(*end);
}

std::optional<XPCRichError> Connection::checkServer()
{
    if (peerIsAcceptable(peerUser))
        return std::nullopt;
    logger().error(
        "Refused the service of user %s: it does not satisfy the peer requirement", std::to_string(peerUser));
    return XPCRichError(
        XPCRichError::Code::peerCodeSigningRequirement, "The service does not satisfy the peer requirement");
}

bool Connection::waitReadable(int descriptor, int wakeDescriptor)
{
    for (;;) {
        if (cancelRequested.load())
            return false;
        pollfd descriptors[2] = { { descriptor, POLLIN, 0 }, { wakeDescriptor, POLLIN, 0 } };
        if (::poll(descriptors, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            vl::fatalError("Cannot wait on an XPC connection", "XPC/Connection");
        }
        if (cancelRequested.load())
            return false;
        if (descriptors[0].revents != 0)
            return true;
    }
}

XPCRichError Connection::acceptPeers(int listener, int wakeDescriptor)
{
    // Held in reserve: with no descriptor left, closing it makes room to accept one peer and
    // close it again, which refuses that peer instead of leaving it queued for ever.
    Descriptor spare(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    for (;;) {
        if (!waitReadable(listener, wakeDescriptor))
            return cancelledError();
        int accepted = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (accepted < 0) {
            int error = errno;
            if (error == EINTR || error == EAGAIN || error == ECONNABORTED)
                continue;
            if ((error == EMFILE || error == ENFILE) && spare.isValid()) {
                spare = Descriptor();
                {
                    Descriptor refused(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
                }
                spare = Descriptor(::open("/dev/null", O_RDONLY | O_CLOEXEC));
                logger().error("Refused a peer: %s", std::strerror(error));
                continue;
            }
            if (error == EMFILE || error == ENFILE || error == ENOMEM || error == ENOBUFS) {
                // Nothing to refuse the peer with: it waits in the queue until something is freed.
                logger().error("Cannot accept a peer now: %s", std::strerror(error));
                if (!pauseUnlessWoken(wakeDescriptor))
                    return cancelledError();
                continue;
            }
            logger().error("Listener stops: cannot accept a connection: %s", std::strerror(error));
            return interruptedError(std::string("Cannot accept a connection: ") + std::strerror(error));
        }
        auto peer = std::make_shared<Connection>(Kind::peer, Descriptor(accepted), std::nullopt);
        if (!peerIsAcceptable(peer->peerUserID())) {
            logger().error("Refused a peer of user %s, process %s: it does not satisfy the peer requirement",
                std::to_string(peer->peerUserID()), std::to_string(peer->peerProcessID()));
            continue;
        }
        if (cancelRequested.load())
            return cancelledError();
        deliver(Object::connection(std::move(peer)));
    }
}

bool Connection::pauseUnlessWoken(int wakeDescriptor)
{
    pollfd waiting { wakeDescriptor, POLLIN, 0 };
    while (::poll(&waiting, 1, static_cast<int>(resourcePause.count())) < 0 && errno == EINTR) { }
    return !cancelRequested.load();
}

XPCRichError Connection::receiveMessages(int descriptor, int wakeDescriptor)
{
    std::vector<std::uint8_t> buffer;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * wire::maximumDescriptors)];
    for (;;) {
        if (!waitReadable(descriptor, wakeDescriptor))
            return cancelledError();
        // A sequenced packet is read whole: its length first, without taking it.
        ssize_t length = ::recv(descriptor, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (length < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return interruptedError(std::string("Cannot receive: ") + std::strerror(errno));
        }
        // An empty packet cannot be told from the end of the stream; either ends the connection.
        if (length == 0)
            return interruptedError("The peer has closed the connection");
        buffer.resize(static_cast<std::size_t>(length));
        iovec vector { buffer.data(), buffer.size() };
        msghdr message {};
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t received = ::recvmsg(descriptor, &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
        if (received < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            return interruptedError(std::string("Cannot receive: ") + std::strerror(errno));
        }
        std::vector<Descriptor> descriptors = receivedDescriptors(message);
        if (received == 0)
            return interruptedError("The peer has closed the connection");
        if ((message.msg_flags & (MSG_TRUNC | MSG_CTRUNC)) != 0) {
            logger().error("Dropped a truncated XPC message of %s bytes", std::to_string(received));
            continue;
        }
        try {
            dispatch(
                wire::decode({ buffer.data(), static_cast<std::size_t>(received) }, std::move(descriptors)));
        } catch (const wire::MalformedMessage& error) {
            logger().error("Dropped a malformed XPC message: %s", error.what());
        }
    }
}

void Connection::dispatch(wire::Frame frame)
{
    if (frame.kind == wire::FrameKind::reply) {
        ReplyHandler handler;
        {
            os::UnfairLockGuard guard(lock);
            if (auto found = pendingReplies.find(frame.identifier); found != pendingReplies.end()) {
                handler = std::move(found->second);
                pendingReplies.erase(found);
            }
        }
        if (!handler) {
            logger().error("Dropped an XPC reply that no request waits for");
            return;
        }
        handler(frame.body.object());
        return;
    }
    if (!cancelRequested.load())
        deliver(frame.body.object());
}

void Connection::deliver(const Object& event)
{
    EventHandler handler;
    {
        os::UnfairLockGuard guard(lock);
        handler = eventHandler;
    }
    if (handler)
        handler(event);
}

void Connection::finish(const XPCRichError& error)
{
    std::map<std::uint64_t, ReplyHandler> unanswered;
    EventHandler handler;
    {
        os::UnfairLockGuard guard(lock);
        state = State::ended;
        // The descriptors are closed before anyone can see the end, through an event, a failed
        // send or the peer. A sender that still holds the socket for a moment closes it when
        // done; shutting it down fails that send at once.
        wake = Descriptor();
        if (socket.use_count() > 1)
            ::shutdown(socket->get(), SHUT_RDWR);
        socket.reset();
        unanswered = std::move(pendingReplies);
        pendingReplies.clear();
        handler = std::move(eventHandler);
        eventHandler = nullptr;
        if (connectionKind == Kind::serviceListener)
            ::unlink(address->name.c_str());
    }
    Object event = Object::error(error);
    for (auto& [identifier, replyHandler] : unanswered)
        replyHandler(event);
    if (handler)
        handler(event);
}

void Connection::sendMessage(const XPCDictionary& message)
{
    const auto& dictionary = std::get<DictionaryValue>(message.object().underlyingStorage()->value);
    if (dictionary.replyTo)
        send(wire::FrameKind::reply, *dictionary.replyTo, message);
    else
        send(wire::FrameKind::message, nextMessageIdentifier.fetch_add(1), message);
}

void Connection::sendMessageWithReply(const XPCDictionary& message, ReplyHandler handler)
{
    std::uint64_t identifier = nextMessageIdentifier.fetch_add(1);
    {
        os::UnfairLockGuard guard(lock);
        if (state != State::ended) {
            pendingReplies.emplace(identifier, std::move(handler));
            handler = nullptr;
        }
    }
    if (handler) {
        handler(Object::error(endedError()));
        return;
    }
    bool sent = false;
    try {
        sent = send(wire::FrameKind::messageExpectingReply, identifier, message);
    } catch (...) {
        os::UnfairLockGuard guard(lock);
        pendingReplies.erase(identifier);
        throw;
    }
    if (sent)
        return;
    ReplyHandler failed;
    {
        os::UnfairLockGuard guard(lock);
        if (auto found = pendingReplies.find(identifier); found != pendingReplies.end()) {
            failed = std::move(found->second);
            pendingReplies.erase(found);
        }
    }
    if (failed)
        failed(Object::error(interruptedError("The message could not be sent")));
}

bool Connection::send(wire::FrameKind kind, std::uint64_t identifier, const XPCDictionary& message)
{
    wire::EncodedFrame frame = wire::encode(kind, identifier, message);
    std::shared_ptr<Descriptor> target;
    {
        os::UnfairLockGuard guard(lock);
        target = socket;
    }
    if (!target) {
        logger().error("Cannot send an XPC message: the connection has ended");
        return false;
    }
    iovec vector { frame.bytes.data(), frame.bytes.size() };
    msghdr header {};
    header.msg_iov = &vector;
    header.msg_iovlen = 1;
    std::vector<char> control;
    if (!frame.descriptors.empty()) {
        std::size_t payload = frame.descriptors.size() * sizeof(int);
        control.resize(CMSG_SPACE(payload));
        header.msg_control = control.data();
        header.msg_controllen = control.size();
        cmsghdr* rights = CMSG_FIRSTHDR(&header);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(payload);
        std::memcpy(CMSG_DATA(rights), frame.descriptors.data(), payload);
    }
    while (::sendmsg(target->get(), &header, MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN) {
            pollfd writable { target->get(), POLLOUT, 0 };
            int ready;
            while ((ready = ::poll(&writable, 1, static_cast<int>(sendPatience.count()))) < 0
                && errno == EINTR) { }
            if (ready > 0)
                continue;
            // The peer has stopped reading: waiting longer would hold up the sender's thread
            // (often the one serving everybody else). The connection ends for both sides.
            logger().error("Cut off process %s: it has not read its messages for %s ms",
                std::to_string(peerProcess), std::to_string(sendPatience.count()));
            ::shutdown(target->get(), SHUT_RDWR);
            return false;
        }
        logger().error("Cannot send an XPC message: %s", std::strerror(errno));
        return false;
    }
    return true;
}

} // namespace xpc
