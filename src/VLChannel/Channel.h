// The FUSE channel: it carries the requests of all concurrent operations over one transport to
// the daemon and routes each incoming message back: a reply to the request waiting for it (by
// `unique`), a notification to the notification stream.
//
// States initialized -> open -> closing -> closed, each entered once; open() and close() run as
// barriers of a concurrent task queue, send/process/interrupt as its ordinary entries. A request
// is in the table before its first byte is written and waits for its reply outside the queue; a
// reply resumes its request on the transport's read thread (until the request next suspends).
// No request waits forever: it ends with its reply, with `closed` at close(), or when the
// connection breaks (end of stream, a failed read or write: the daemon has gone) with the POSIX
// error ENOTCONN, the one error a dead daemon ever reaches callers as; a daemon that breaks the
// framing (a reply longer than maximumMessageLength) gives EPROTO instead. Either way the channel
// disconnects the transport and every later request fails at once with the same error. close()
// disconnects before it waits, so it returns promptly whatever the daemon does. The transport's
// read handler holds the channel weakly; the channel must be owned by a std::shared_ptr and
// outlive the tasks of its operations.
#pragma once

#include "Platform/Tasks/AsyncStream.h"
#include "Platform/Tasks/Result.h"
#include "Platform/Tasks/Task.h"
#include "VLChannel/DiscontiguousData.h"
#include "VLChannel/FuseKernel.h"
#include "VLChannel/Message.h"
#include "VLChannel/Notification.h"
#include "VLChannel/Reply.h"
#include "VLChannel/Request.h"
#include "VLFoundation/AsyncFuture.h"
#include "VLFoundation/AsyncTaskQueue.h"
#include "VLFoundation/Protected.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <unordered_map>
#include <variant>

namespace vl {

class Channel : public std::enable_shared_from_this<Channel> {
public:
    class Error : public std::exception {
    public:
        enum class Kind {
            // Reserved for FUSE errors; replies report theirs as POSIX errors.
            fuse,
            // The channel closed while the request waited for its reply.
            closed,
            // send, process or interrupt on a channel that is not open.
            notConnected,
            // open on a channel that is not initialized, close on one that is not open.
            unexpectedState,
        };

        explicit Error(Kind kind, std::int32_t fuseError = 0)
            : errorKind(kind)
            , fuseErrorCode(fuseError)
        {
        }
        Kind kind() const { return errorKind; }
        std::int32_t fuseError() const { return fuseErrorCode; }
        const char* what() const noexcept override;

    private:
        Kind errorKind;
        std::int32_t fuseErrorCode;
    };

    struct MessageType {
        struct Notification {
            fuse_notify_code type;
            friend bool operator==(const Notification&, const Notification&) = default;
        };
        struct Reply {
            std::uint64_t unique;
            // A positive errno, or 0 for success.
            std::int32_t error;
            friend bool operator==(const Reply&, const Reply&) = default;
        };

        // Reads the fuse_out_header at the start of `message`, which holds at least its 16 bytes.
        // A reply's `error` is negated; the one value whose negation does not fit 32 bits becomes
        // ENXIO, the errno the channel reports for errors it does not know. A notification's code
        // is `error` read as an unsigned value, whatever its sign.
        static MessageType classify(const DiscontiguousData& message);

        std::variant<Notification, Reply> value;
        friend bool operator==(const MessageType&, const MessageType&) = default;
    };

    // The byte stream beneath a channel, which owns it. Messages go out whole and come in whole.
    class TransportMedium {
    public:
        // Called once per incoming message (fuse_out_header included, at least 16 bytes) or with
        // the error of a failed read; from any thread, never concurrently with itself.
        using ReadHandler = std::function<void(tasks::Result<DiscontiguousData>)>;

        virtual ~TransportMedium() = default;
        // Starts delivering incoming messages to `readHandler`.
        virtual void activate(ReadHandler readHandler) = 0;
        // Writes one message completely, its regions in order, never interleaved with another's.
        // Also called from inside the read handler (a request resumed by its reply sends its
        // next), where it must not block the delivery of replies.
        virtual tasks::Task<void> write(DiscontiguousData message) = 0;
        // Stops delivering messages and releases the connection; no delivery follows.
        virtual tasks::Task<void> deactivate() = 0;
        // Breaks the connection at once, from any thread, any number of times: reads and writes
        // in progress end (failing) and later ones fail. deactivate() still releases it.
        virtual void disconnect() = 0;
    };

    // The longest message the daemon may send: a header and the largest payload any request
    // asks for, an extended attribute's value of 2^25 bytes (reads ask for 1 MiB at most).
    static constexpr std::uint32_t maximumMessageLength = sizeof(fuse_out_header) + (1u << 25);

    explicit Channel(std::unique_ptr<TransportMedium> transportMedium);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Fails with unexpectedState unless initialized, or with the transport's activation error.
    tasks::Task<void> open();
    // Fails with unexpectedState unless open, or with the transport's deactivation error (the
    // channel then stays closing for good). Fails every waiting request with `closed`, breaks the
    // connection (so that no write or read in progress can hold it up) and ends the notification
    // stream.
    tasks::Task<void> close();

    // Writes a message that gets no reply (FUSE_FORGET). Fails like process() when the
    // connection is broken.
    tasks::Task<void> send(const Message& message) { return sendData(message.data()); }
    // Writes `request` and returns its reply. The reply's error arrives as a POSIX error (ENXIO
    // for an errno this platform does not define). The wait has no deadline: it lasts until the
    // reply, a broken connection (ENOTCONN, or EPROTO) or close.
    tasks::Task<Reply> process(Request request);
    // Succeeds on an open channel and writes nothing.
    tasks::Task<void> interrupt(const Request& request);

    // The messages the daemon sent on its own, in arrival order; ends when the channel closes.
    // One consumer at a time.
    const tasks::AsyncStream<Notification>& notifications() const { return notificationStream; }

private:
    enum class State { initialized, open, closing, closed };
    using ReplyPromise = AsyncFuture<DiscontiguousData>::Promise;

    struct ReplyPromises {
        std::unordered_map<std::uint64_t, ReplyPromise> waiting;
        // Why the connection ended (ENOTCONN, EPROTO or `closed`), first cause only: later
        // requests fail with it.
        std::exception_ptr connectionFailure;

        void rethrowConnectionFailure() const
        {
            if (connectionFailure)
                std::rethrow_exception(connectionFailure);
        }
    };

    Channel(std::unique_ptr<TransportMedium> transportMedium,
        tasks::AsyncStream<Notification>::Pair notifications);

    tasks::Task<void> sendData(DiscontiguousData message);
    // Puts `promise` in the table, then writes the request; every failure resolves the promise.
    tasks::Task<void> registerAndWrite(const Request& request, ReplyPromise promise);
    void requireOpen() const;
    void receive(tasks::Result<DiscontiguousData> received);
    void deliverReply(std::uint64_t unique, std::int32_t error, DiscontiguousData payload);
    // Records `error` as the connection's end unless an earlier one is recorded, fails every
    // waiting request with the recorded one and disconnects the transport.
    void breakConnection(std::exception_ptr error);
    // Rethrows the recorded end of the connection (an error occurred, so there is one).
    [[noreturn]] void rethrowConnectionFailure();

    AsyncTaskQueue queue { AsyncTaskQueue::Mode::concurrent };
    // Read and written only inside operations of `queue`; written only by barriers.
    State state = State::initialized;
    // Set by open(); lets close() break the connection before its barrier, which would otherwise
    // wait for a write that a daemon not reading never lets end.
    std::atomic<bool> opened { false };
    const std::unique_ptr<TransportMedium> transportMedium;
    Protected<ReplyPromises> replyPromises { ReplyPromises {} };
    const tasks::AsyncStream<Notification> notificationStream;
    const tasks::AsyncStream<Notification>::Continuation notificationContinuation;
};

} // namespace vl
