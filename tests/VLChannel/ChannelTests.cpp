#include "VLChannel/Channel.h"

#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/POSIXErrorCode.h"
#include "Platform/Tasks/Spawn.h"
#include "Platform/Tasks/TaskGroup.h"
#include "Support/FusePeer.h"
#include "Support/Gate.h"
#include "Support/Mailbox.h"
#include "Support/ScopeExit.h"
#include "Support/WaitUntil.h"
#include "VLChannel/SocketTransportMedium.h"

#include <gtest/gtest.h>

#include <linux/sockios.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vl {
namespace {

using testing_support::bytesOf;
using testing_support::FuseAnswer;
using testing_support::FusePeer;
using testing_support::FuseRequest;
using Bytes = std::vector<std::byte>;

const std::string notConnected = "posix " + std::to_string(posix::enotconn);

Request getattr(std::uint64_t node)
{
    return Request(FUSE_GETATTR, node, 0, 0, 0, Request::Part::managed<fuse_getattr_in>());
}

Request forget(std::uint64_t node, std::uint64_t lookups)
{
    return Request(FUSE_FORGET, node, 0, 0, 0,
        Request::Part::managed<fuse_forget_in>([lookups](fuse_forget_in& in) { in.nlookup = lookups; }));
}

// How an operation ended, as text: "ok", the Channel::Error kind, "posix <errno>" or "other".
std::string describe(std::exception_ptr error)
{
    if (!error)
        return "ok";
    try {
        std::rethrow_exception(error);
    } catch (const Channel::Error& channelError) {
        return channelError.what();
    } catch (const foundation::POSIXError& posixError) {
        return "posix " + std::to_string(posixError.errnoCode());
    } catch (...) {
        return "other";
    }
}

template <typename T> std::string outcomeOf(tasks::Task<T> operation)
{
    return describe(tasks::runBlocking(tasks::catching(std::move(operation))).error());
}

// A channel over a socket transport whose far end is a scripted peer.
class ChannelTest : public testing::Test {
protected:
    void open() { tasks::runBlocking(channel->open()); }

    // Starts `request` in a task of its own and waits until the peer has received it.
    tasks::TaskHandle<Reply> startProcessing(Request request)
    {
        std::size_t before = peer.requests().size();
        tasks::TaskHandle<Reply> handle = tasks::spawn(channel->process(std::move(request)));
        peer.waitForRequestCount(before + 1);
        return handle;
    }

    FusePeer peer;
    std::shared_ptr<Channel> channel
        = std::make_shared<Channel>(std::make_unique<SocketTransportMedium>(peer.takeChannelEnd()));
};

// A request resumed by its reply runs on the read thread; the next request it sends must not keep
// that thread from the replies behind it, even when the daemon reads nothing until it has sent them.
TEST_F(ChannelTest, ARequestSentByARequestResumedOnTheReadThreadDoesNotHoldUpLaterReplies)
{
    std::promise<void> readAgain;
    std::shared_future<void> reading = readAgain.get_future().share();
    testing_support::ScopeExit letThePeerRead([&readAgain, reading] {
        if (reading.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
            readAgain.set_value();
    });
    peer.on(FUSE_GETATTR, [&](const FuseRequest& request) {
        if (request.nodeid() != 1)
            return FuseAnswer::unanswered();
        peer.reply(request.unique());
        (void)reading.wait_for(testing_support::waitLimit);
        return FuseAnswer::unanswered();
    });
    peer.on(FUSE_WRITE, [](const FuseRequest&) { return FuseAnswer::reply(); });
    open();
    tasks::TaskHandle<Reply> waiting = startProcessing(getattr(2));
    auto resumed = std::make_shared<std::atomic<bool>>(false);
    auto answered = std::make_shared<std::atomic<bool>>(false);
    // Far more than the socket buffers hold, so the send waits for the daemon to read.
    auto resumedThenWrites = [](std::shared_ptr<Channel> channel,
                                 std::shared_ptr<std::atomic<bool>> resumed) -> tasks::Task<void> {
        co_await channel->process(getattr(1));
        *resumed = true;
        co_await channel->process(Request(FUSE_WRITE, 1, 0, 0, 0, Request::Part::managed(8 << 20)));
    };
    auto noteAnswer
        = [](tasks::Task<Reply> reply, std::shared_ptr<std::atomic<bool>> answered) -> tasks::Task<void> {
        (void)co_await std::move(reply);
        *answered = true;
    };
    tasks::TaskHandle<void> writer = tasks::spawn(resumedThenWrites(channel, resumed));
    testing_support::waitUntil([&] { return resumed->load(); });
    (void)tasks::spawn(noteAnswer(waiting.value(), answered));
    peer.reply(peer.waitForRequest(0).unique());
    testing_support::waitUntil([&] { return answered->load(); });

    readAgain.set_value();
    tasks::runBlocking(writer.value());
    tasks::runBlocking(channel->close());
}

TEST_F(ChannelTest, ReplyErrorsArePOSIXErrorsAndCodesThePlatformDoesNotKnowAreENXIO)
{
    peer.on(FUSE_GETATTR, [](const FuseRequest& request) {
        switch (request.nodeid()) {
        case 1:
            return FuseAnswer::error(ENOENT);
        case 2:
            return FuseAnswer::error(posix::elast + 1);
        case 4:
            return FuseAnswer::error(posix::elast);
        default:
            return FuseAnswer::raw(testing_support::bytesOf(
                fuse_out_header { .len = 16, .error = INT_MIN, .unique = request.unique() }));
        }
    });
    open();
    EXPECT_EQ(outcomeOf(channel->process(getattr(1))), "posix 2");
    EXPECT_EQ(outcomeOf(channel->process(getattr(2))), "posix 6");
    EXPECT_EQ(outcomeOf(channel->process(getattr(3))), "posix 6");
    EXPECT_EQ(outcomeOf(channel->process(getattr(4))), "posix 106");
    tasks::runBlocking(channel->close());
}

// Replies to no waiting request (an unknown one, or one answered already) are dropped;
// notifications go to the stream in order and never complete a request.
TEST_F(ChannelTest, StrayRepliesAreDroppedAndNotificationsGoToTheStreamInOrder)
{
    open();
    Request request = getattr(1);
    tasks::TaskHandle<Reply> reply = startProcessing(request);
    peer.reply(request.unique() + 1000, testing_support::bytesOf(std::string_view("stray")));
    peer.notify(FUSE_NOTIFY_INVAL_INODE, testing_support::bytesOf(std::string_view("inode")));
    peer.notify(static_cast<fuse_notify_code>(77));
    peer.reply(request.unique(), testing_support::bytesOf(std::string_view("mine")));
    EXPECT_EQ(bytesOf(tasks::runBlocking(reply.value()).data()),
        testing_support::bytesOf(std::string_view("mine")));
    peer.reply(request.unique(), testing_support::bytesOf(std::string_view("again")));
    peer.on(FUSE_GETATTR, [](const FuseRequest&) { return FuseAnswer::reply(); });
    EXPECT_EQ(outcomeOf(channel->process(getattr(2))), "ok");

    std::optional<Notification> first = tasks::runBlocking(channel->notifications().next());
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->type(), FUSE_NOTIFY_INVAL_INODE);
    EXPECT_EQ(bytesOf(first->data()), testing_support::bytesOf(std::string_view("inode")));
    std::optional<Notification> second = tasks::runBlocking(channel->notifications().next());
    ASSERT_TRUE(second.has_value());
    EXPECT_EQ(second->type(), static_cast<fuse_notify_code>(77));
    EXPECT_EQ(second->count(), 0);

    tasks::runBlocking(channel->close());
    EXPECT_FALSE(tasks::runBlocking(channel->notifications().next()).has_value());
}

TEST_F(ChannelTest, DaemonDeathFailsEveryOutstandingRequestAndEveryLaterOne)
{
    open();
    std::vector<tasks::TaskHandle<Reply>> waiting;
    for (std::uint64_t node = 1; node <= 3; ++node)
        waiting.push_back(startProcessing(getattr(node)));
    peer.closeConnection();
    for (tasks::TaskHandle<Reply>& reply : waiting)
        EXPECT_EQ(outcomeOf(reply.value()), notConnected);
    // Nothing is written any more; later requests fail at once with the same error.
    EXPECT_EQ(outcomeOf(channel->process(getattr(4))), notConnected);
    EXPECT_EQ(outcomeOf(channel->send(forget(4, 1))), notConnected);
    EXPECT_EQ(peer.requests().size(), 3u);
    EXPECT_EQ(outcomeOf(channel->close()), "ok");
}

TEST_F(ChannelTest, AFailedWriteBreaksTheConnectionForTheWaitingAndTheLaterRequests)
{
    open();
    tasks::TaskHandle<Reply> waiting = startProcessing(getattr(1));
    peer.stopReceiving();
    peer.waitUntilDisconnected();
    EXPECT_EQ(outcomeOf(channel->process(getattr(2))), notConnected);
    EXPECT_EQ(outcomeOf(waiting.value()), notConnected);
    EXPECT_EQ(outcomeOf(channel->send(forget(1, 1))), notConnected);
    EXPECT_EQ(outcomeOf(channel->close()), "ok");
}

// A reply length nothing may reach breaks the stream: no allocation, EPROTO for everyone, and
// the daemon is disconnected. The longest allowed length is still read.
TEST_F(ChannelTest, AReplyLongerThanAnyTheProtocolAllowsIsAProtocolError)
{
    open();
    tasks::TaskHandle<Reply> longest = startProcessing(getattr(1));
    Bytes payload(Channel::maximumMessageLength - sizeof(fuse_out_header), std::byte { 7 });
    peer.reply(peer.waitForRequest(0).unique(), payload);
    EXPECT_EQ(tasks::runBlocking(longest.value()).count(), static_cast<std::ptrdiff_t>(payload.size()));

    tasks::TaskHandle<Reply> waiting = startProcessing(getattr(2));
    fuse_out_header header {
        .len = Channel::maximumMessageLength + 1, .error = 0, .unique = peer.waitForRequest(1).unique()
    };
    peer.write(bytesOf(header));
    std::string protocolError = "posix " + std::to_string(posix::eproto);
    EXPECT_EQ(outcomeOf(waiting.value()), protocolError);
    EXPECT_EQ(outcomeOf(channel->process(getattr(3))), protocolError);
    peer.waitUntilDisconnected();
    EXPECT_EQ(outcomeOf(channel->close()), "ok");
}

// Whatever a live daemon does (a message half sent, a length beyond what it sent, no reading
// while a large request is written), close() breaks the connection and returns; the request
// waiting ends with `closed`.
TEST(Channel, CloseReturnsWhateverALiveDaemonHolds)
{
    Bytes halfHeader(7, std::byte { 1 });
    fuse_out_header longer { .len = 4096, .error = 0, .unique = 1 };
    for (std::string held : { "half header", "length beyond what was sent", "not reading" }) {
        SCOPED_TRACE(held);
        FusePeer peer;
        auto resumeReading = std::make_shared<Mailbox<bool>>();
        peer.on(FUSE_GETATTR, [&held, resumeReading](const FuseRequest&) {
            if (held == "not reading")
                resumeReading->next();
            return FuseAnswer::unanswered();
        });
        std::shared_ptr<foundation::FileHandle> channelEnd = peer.takeChannelEnd();
        auto channel = std::make_shared<Channel>(std::make_unique<SocketTransportMedium>(channelEnd));
        tasks::runBlocking(channel->open());
        tasks::TaskHandle<Reply> waiting = tasks::spawn(channel->process(getattr(1)));
        peer.waitForRequestCount(1);
        std::optional<tasks::TaskHandle<Reply>> large;
        if (held == "half header") {
            peer.write(halfHeader);
        } else if (held == "length beyond what was sent") {
            peer.write(bytesOf(longer));
        } else {
            large = tasks::spawn(
                channel->process(Request(FUSE_WRITE, 1, 0, 0, 0, Request::Part::managed(64 << 20))));
            // The close must find the large request on its way, its send waiting for the peer.
            testing_support::waitUntil([descriptor = channelEnd->fileDescriptor()] {
                int unsent = 0;
                return ::ioctl(descriptor, SIOCOUTQ, &unsent) == 0 && unsent > (64 << 10);
            });
        }
        auto closed = std::make_shared<Mailbox<std::string>>();
        auto closing = [](std::shared_ptr<Channel> channel,
                           std::shared_ptr<Mailbox<std::string>> closed) -> tasks::Task<void> {
            closed->push(describe((co_await tasks::catching(channel->close())).error()));
        };
        tasks::spawnDetached(closing(channel, closed));
        EXPECT_EQ(closed->next(), "ok");
        EXPECT_EQ(outcomeOf(waiting.value()), "closed");
        if (large) {
            EXPECT_EQ(outcomeOf(large->value()), "closed");
        }
        resumeReading->push(true);
    }
}

TEST_F(ChannelTest, SendWritesWithoutWaitingForAReplyAndInterruptWritesNothing)
{
    open();
    Request forgetting = forget(9, 3);
    tasks::runBlocking(channel->interrupt(getattr(1)));
    tasks::runBlocking(channel->send(forgetting));
    FuseRequest received = peer.waitForRequest(0);
    EXPECT_EQ(received.bytes(), bytesOf(forgetting.data()));
    tasks::runBlocking(channel->close());
    EXPECT_EQ(peer.requests().size(), 1u);
}

TEST_F(ChannelTest, TheLifecycleRefusesWhatItsStateDoesNotAllow)
{
    // Before opening and after closing: nothing goes out, and neither can be repeated.
    for (const char* openOutcome : { "ok", "unexpectedState" }) {
        EXPECT_EQ(outcomeOf(channel->close()), "unexpectedState");
        EXPECT_EQ(outcomeOf(channel->process(getattr(1))), "notConnected");
        EXPECT_EQ(outcomeOf(channel->send(forget(1, 1))), "notConnected");
        EXPECT_EQ(outcomeOf(channel->interrupt(getattr(1))), "notConnected");
        EXPECT_EQ(outcomeOf(channel->open()), openOutcome);
        if (openOutcome == std::string("ok")) {
            EXPECT_EQ(outcomeOf(channel->open()), "unexpectedState");
            EXPECT_EQ(outcomeOf(channel->close()), "ok");
        }
    }
    EXPECT_TRUE(peer.requests().empty());
}

tasks::Task<void> processAndCheck(std::shared_ptr<Channel> channel, std::uint64_t node)
{
    Request request = getattr(node);
    Reply reply = co_await channel->process(request);
    std::uint64_t echoed = 0;
    reply.consumePart<std::uint64_t>([&](std::uint64_t value) { echoed = value; });
    if (reply.unique() != request.unique() || echoed != request.unique())
        throw std::runtime_error("a reply reached the wrong request");
}

TEST_F(ChannelTest, ManyConcurrentRequestsEachGetTheirOwnReply)
{
    constexpr std::uint64_t requestCount = 256;
    // The peer holds every fourth request back and answers it after the next one arrives.
    std::mutex heldMutex;
    std::uint64_t arrived = 0;
    std::optional<std::uint64_t> held;
    peer.on(FUSE_GETATTR, [&](const FuseRequest& request) {
        std::lock_guard guard(heldMutex);
        ++arrived;
        if (request.nodeid() % 4 == 0 && !held && arrived < requestCount) {
            held = request.unique();
            return FuseAnswer::unanswered();
        }
        FuseAnswer answer = FuseAnswer::replyWith(request.unique());
        if (held) {
            std::uint64_t earlier = *std::exchange(held, std::nullopt);
            answer = std::move(answer).then(
                FuseAnswer::raw(testing_support::replyMessage(earlier, testing_support::bytesOf(earlier))));
        }
        return answer;
    });
    open();
    auto run = [this](tasks::DiscardingTaskGroup& group) -> tasks::Task<void> {
        for (std::uint64_t node = 1; node <= requestCount; ++node)
            group.addTask(processAndCheck(channel, node));
        co_return;
    };
    tasks::runBlocking(tasks::withThrowingDiscardingTaskGroup(run));
    tasks::runBlocking(channel->close());
}

// A transport double that records what happens to it, can hold writes until a gate opens, can
// answer a request before its write returns, and can fail deactivation.
class RecordingTransport final : public Channel::TransportMedium {
public:
    struct Record {
        std::mutex mutex;
        std::vector<std::string> events;
        testing_support::Gate writeGate;
        bool holdWrites = false;
        bool answerDuringWrite = false;
        bool failDeactivation = false;
        // Like a socket's shutdown, disconnect() ends the write in progress.
        bool disconnectEndsWrites = false;
        ReadHandler readHandler;

        void add(std::string event)
        {
            std::lock_guard guard(mutex);
            events.push_back(std::move(event));
        }
        std::vector<std::string> snapshot()
        {
            std::lock_guard guard(mutex);
            return events;
        }
    };

    explicit RecordingTransport(std::shared_ptr<Record> record)
        : record(std::move(record))
    {
    }
    ~RecordingTransport() override { record->add("destroyed"); }

    void activate(ReadHandler readHandler) override
    {
        record->add("activate");
        record->readHandler = std::move(readHandler);
    }

    tasks::Task<void> write(DiscontiguousData message) override
    {
        record->add("write started");
        if (record->holdWrites)
            co_await record->writeGate.passed();
        if (record->answerDuringWrite) {
            std::uint64_t unique = message.withUnsafeValue<fuse_in_header>(
                0, [](const fuse_in_header& header) { return header.unique; });
            Bytes reply
                = testing_support::replyMessage(unique, testing_support::bytesOf(std::string_view("early")));
            DiscontiguousData delivered(static_cast<std::ptrdiff_t>(reply.size()), false,
                [&reply](std::span<std::byte> bytes) { std::ranges::copy(reply, bytes.begin()); });
            record->readHandler(tasks::Result<DiscontiguousData>::success(std::move(delivered)));
        }
        record->add("write finished");
    }

    void disconnect() override
    {
        record->add("disconnect");
        if (record->disconnectEndsWrites)
            record->writeGate.open();
    }

    tasks::Task<void> deactivate() override
    {
        record->add("deactivate");
        if (record->failDeactivation)
            throw foundation::POSIXError(EIO, "close");
        co_return;
    }

private:
    std::shared_ptr<Record> record;
};

// A channel over a recording transport, opened.
std::shared_ptr<Channel> openChannel(const std::shared_ptr<RecordingTransport::Record>& record)
{
    auto channel = std::make_shared<Channel>(std::make_unique<RecordingTransport>(record));
    tasks::runBlocking(channel->open());
    return channel;
}

// A request is waiting for its reply before its first byte is written. close() disconnects, then
// waits for the writes in progress; a failed deactivation is its error and leaves it closing for good.
TEST(Channel, ARequestWaitsBeforeItsWriteAndCloseWaitsForTheWritesInProgressBeforeDeactivating)
{
    auto record = std::make_shared<RecordingTransport::Record>();
    record->answerDuringWrite = true;
    record->disconnectEndsWrites = true;
    record->failDeactivation = true;
    std::shared_ptr<Channel> channel = openChannel(record);
    EXPECT_EQ(bytesOf(tasks::runBlocking(channel->process(getattr(1))).data()),
        testing_support::bytesOf(std::string_view("early")));
    // The reply can arrive before that write has recorded its end.
    testing_support::waitUntil([&] { return record->snapshot().size() == 3; });
    record->answerDuringWrite = false;
    record->holdWrites = true;
    tasks::TaskHandle<Reply> request = tasks::spawn(channel->process(getattr(1)));
    record->writeGate.waitForWaiters(1);
    EXPECT_EQ(outcomeOf(channel->close()), "posix " + std::to_string(EIO));
    EXPECT_EQ(outcomeOf(request.value()), "closed");
    EXPECT_EQ(record->snapshot(),
        (std::vector<std::string> { "activate", "write started", "write finished", "write started",
            "disconnect", "write finished", "deactivate" }));
    EXPECT_EQ(outcomeOf(channel->close()), "unexpectedState");
    EXPECT_EQ(outcomeOf(channel->process(getattr(1))), "notConnected");
}

TEST(Channel, ARequestFailedByADeadDaemonKeepsTheChannelAliveUntilItsWriteEnds)
{
    auto record = std::make_shared<RecordingTransport::Record>();
    record->holdWrites = true;
    std::shared_ptr<Channel> channel = openChannel(record);
    tasks::TaskHandle<Reply> request = tasks::spawn(channel->process(getattr(1)));
    record->writeGate.waitForWaiters(1);
    record->readHandler(tasks::Result<DiscontiguousData>::failure(
        std::make_exception_ptr(foundation::POSIXError(posix::ebadmsg, "read"))));

    std::weak_ptr<Channel> released = channel;
    channel.reset();
    EXPECT_FALSE(released.expired());
    record->writeGate.open();
    EXPECT_EQ(outcomeOf(request.value()), notConnected);
    testing_support::waitUntil([&] { return record->snapshot().back() == "destroyed"; });
    EXPECT_EQ(record->snapshot(),
        (std::vector<std::string> {
            "activate", "write started", "disconnect", "write finished", "destroyed" }));
}

TEST(ChannelDeathTest, AChannelNotOwnedByASharedPointerCannotOpen)
{
    EXPECT_DEATH(
        {
            Channel channel(
                std::make_unique<RecordingTransport>(std::make_shared<RecordingTransport::Record>()));
            tasks::runBlocking(channel.open());
        },
        "not owned by a shared pointer");
}

} // namespace
} // namespace vl
