#include "VLChannel/Channel.h"

#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/POSIXErrorCode.h"
#include "Platform/OS/FatalError.h"

#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace vl {
namespace {

constexpr std::ptrdiff_t replyHeaderCount = sizeof(fuse_out_header);

// A broken framing stays EPROTO; any other end of the stream, failed read or failed write means
// the daemon's end is gone, which callers always see as ENOTCONN.
std::exception_ptr connectionEnd(const std::exception_ptr& cause)
{
    try {
        std::rethrow_exception(cause);
    } catch (const foundation::POSIXError& error) {
        if (error.errnoCode() == posix::eproto)
            return cause;
    } catch (...) {
    }
    return std::make_exception_ptr(foundation::POSIXError(posix::enotconn, "the FUSE daemon's connection"));
}

} // namespace

const char* Channel::Error::what() const noexcept
{
    switch (errorKind) {
    case Kind::fuse:
        return "fuse";
    case Kind::closed:
        return "closed";
    case Kind::notConnected:
        return "notConnected";
    case Kind::unexpectedState:
        return "unexpectedState";
    }
    return "unknown";
}

Channel::Channel(std::unique_ptr<TransportMedium> transportMedium)
    : Channel(std::move(transportMedium), tasks::AsyncStream<Notification>::makeStream())
{
}

Channel::Channel(
    std::unique_ptr<TransportMedium> transportMedium, tasks::AsyncStream<Notification>::Pair notifications)
    : transportMedium(std::move(transportMedium))
    , notificationStream(std::move(notifications.stream))
    , notificationContinuation(std::move(notifications.continuation))
{
}

Channel::~Channel() = default;

tasks::Task<void> Channel::open()
{
    return queue.sync(true, [this]() -> tasks::Task<void> {
        if (state != State::initialized)
            throw Error(Error::Kind::unexpectedState);
        state = State::open;
        opened = true;
        std::weak_ptr<Channel> channel = weak_from_this();
        if (channel.expired())
            fatalError("Channel is not owned by a shared pointer", "VLChannel/Channel");
        transportMedium->activate([channel](tasks::Result<DiscontiguousData> received) {
            if (std::shared_ptr<Channel> receiving = channel.lock())
                receiving->receive(std::move(received));
        });
        co_return;
    });
}

tasks::Task<void> Channel::close()
{
    // Named first (g++ 12, see Task.h).
    auto beginClosing = [this]() -> tasks::Task<void> {
        if (state != State::open)
            throw Error(Error::Kind::unexpectedState);
        state = State::closing;
        co_return;
    };
    auto finishClosing = [this]() -> tasks::Task<void> {
        state = State::closed;
        co_return;
    };
    // Waiting requests end with `closed` before the connection breaks, so that none of them ends
    // with the broken connection's error instead.
    if (opened)
        breakConnection(std::make_exception_ptr(Error(Error::Kind::closed)));
    co_await queue.sync(true, beginClosing);
    co_await transportMedium->deactivate();
    notificationContinuation.finish();
    co_await queue.sync(true, finishClosing);
}

tasks::Task<void> Channel::sendData(DiscontiguousData message)
{
    return queue.sync(false, [this, message = std::move(message)]() -> tasks::Task<void> {
        requireOpen();
        replyPromises.withLock([](ReplyPromises& table) { table.rethrowConnectionFailure(); });
        tasks::Result<void> written = co_await tasks::catching(transportMedium->write(message));
        if (!written.isSuccess()) {
            breakConnection(connectionEnd(written.error()));
            rethrowConnectionFailure();
        }
    });
}

tasks::Task<Reply> Channel::process(Request request)
{
    // The caller may let go of the channel while its request is in progress.
    std::shared_ptr<Channel> self = shared_from_this();
    AsyncFuture<DiscontiguousData>::Pair reply = AsyncFuture<DiscontiguousData>::makeFuture();
    // The queue's operation reports its failures through the reply's promise as well, so the
    // caller learns the request's outcome from the future alone.
    auto registration
        = [this, &request, promise = reply.promise] { return registerAndWrite(request, promise); };
    co_await queue.sync(false, registration);
    DiscontiguousData payload = co_await reply.future->value();
    co_return Reply(request.unique(), std::move(payload));
}

tasks::Task<void> Channel::registerAndWrite(const Request& request, ReplyPromise promise)
{
    std::uint64_t unique = request.unique();
    tasks::Result<void> registered = tasks::Result<void>::catching([&] {
        requireOpen();
        replyPromises.withLock([&](ReplyPromises& table) {
            table.rethrowConnectionFailure();
            if (!table.waiting.emplace(unique, promise).second)
                fatalError(
                    "A request with the same unique is already waiting for its reply", "VLChannel/Channel");
        });
    });
    if (!registered.isSuccess()) {
        promise.resolveThrowing(registered.error());
        co_return;
    }
    tasks::Result<void> written = co_await tasks::catching(transportMedium->write(request.data()));
    // A message cut short leaves a stream that cannot be resynchronized: the request fails with
    // the connection (unless a reply or the connection's end has settled it already).
    if (!written.isSuccess())
        breakConnection(connectionEnd(written.error()));
}

tasks::Task<void> Channel::interrupt(const Request&)
{
    return queue.sync(false, [this]() -> tasks::Task<void> {
        requireOpen();
        co_return;
    });
}

void Channel::requireOpen() const
{
    if (state != State::open)
        throw Error(Error::Kind::notConnected);
}

void Channel::receive(tasks::Result<DiscontiguousData> received)
{
    if (!received.isSuccess()) {
        breakConnection(connectionEnd(received.error()));
        return;
    }
    DiscontiguousData message = std::move(received).get();
    MessageType type = MessageType::classify(message);
    if (const MessageType::Notification* notification = std::get_if<MessageType::Notification>(&type.value)) {
        notificationContinuation.yield(Notification(notification->type, message.from(replyHeaderCount)));
        return;
    }
    const MessageType::Reply& reply = std::get<MessageType::Reply>(type.value);
    deliverReply(reply.unique, reply.error, message.from(replyHeaderCount));
}

void Channel::deliverReply(std::uint64_t unique, std::int32_t error, DiscontiguousData payload)
{
    std::optional<ReplyPromise> promise = replyPromises.withLock([unique](ReplyPromises& table) {
        std::optional<ReplyPromise> found;
        if (auto entry = table.waiting.find(unique); entry != table.waiting.end()) {
            found.emplace(std::move(entry->second));
            table.waiting.erase(entry);
        }
        return found;
    });
    if (!promise)
        return;
    // The waiting request goes on on the read thread, which saves it a thread hop; the transport
    // moves any write the request then makes off that thread.
    if (error == 0) {
        promise->resolveHere(tasks::Result<DiscontiguousData>::success(std::move(payload)));
        return;
    }
    int code = posix::isDarwinErrno(error) ? error : posix::enxio;
    promise->resolveHere(tasks::Result<DiscontiguousData>::failure(
        std::make_exception_ptr(foundation::POSIXError(code, "reply"))));
}

void Channel::breakConnection(std::exception_ptr error)
{
    auto [failed, failure] = replyPromises.withLock([&error](ReplyPromises& table) {
        if (!table.connectionFailure)
            table.connectionFailure = std::move(error);
        return std::pair(std::exchange(table.waiting, {}), table.connectionFailure);
    });
    transportMedium->disconnect();
    for (auto& [unique, promise] : failed)
        promise.resolveThrowing(failure);
}

void Channel::rethrowConnectionFailure()
{
    replyPromises.withLock([](ReplyPromises& table) { table.rethrowConnectionFailure(); });
    fatalError("A connection failure was not recorded", "VLChannel/Channel");
}

} // namespace vl
