#include "VLChannel/SocketTransportMedium.h"

#include "ByteHelpers.h"
#include "Platform/Foundation/POSIXErrorCode.h"
#include "Platform/OS/Logger.h"
#include "Platform/Tasks/Spawn.h"
#include "Platform/Tasks/TaskGroup.h"
#include "Support/ErrnoThrown.h"
#include "Support/FusePeer.h"
#include "Support/Mailbox.h"
#include "Support/ManualExecutor.h"
#include "VLChannel/Request.h"
#include "VLFoundation/BuildConfig.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vl {
namespace {

using testing_support::bytesOf;
using testing_support::errnoThrownBy;
using testing_support::FusePeer;
using testing_support::replyMessage;
using Bytes = std::vector<std::byte>;

// Collects what the transport hands to its read handler.
using Inbox = Mailbox<tasks::Result<DiscontiguousData>>;

Channel::TransportMedium::ReadHandler handlerFor(const std::shared_ptr<Inbox>& inbox)
{
    return [inbox](tasks::Result<DiscontiguousData> delivered) { inbox->push(std::move(delivered)); };
}

Bytes pattern(std::size_t count, unsigned seed)
{
    Bytes bytes(count);
    for (std::size_t index = 0; index < count; ++index)
        bytes[index] = static_cast<std::byte>((index * 31 + seed) & 0xff);
    return bytes;
}

// A transport on the near end of a peer's socket pair, read into an inbox once activated.
class SocketTransportMediumTest : public testing::Test {
protected:
    void activate() { transport->activate(handlerFor(inbox)); }

    FusePeer peer;
    std::shared_ptr<foundation::FileHandle> socketHandle = peer.takeChannelEnd();
    std::unique_ptr<SocketTransportMedium> transport = std::make_unique<SocketTransportMedium>(socketHandle);
    std::shared_ptr<Inbox> inbox = std::make_shared<Inbox>();
};

// Written in seven-byte pieces, each read before the next, so that headers and bodies arrive split.
TEST_F(SocketTransportMediumTest, DeliversAHeaderOnlyReplyAsOneRegionAndLongerOnesAsHeaderAndBody)
{
    activate();
    // A one-byte body (length 17) is the smallest that is read; the next message must follow it.
    // A length below sixteen is a header alone, and the bytes after it start the next message.
    Bytes shortHeader = testing_support::bytesOf(fuse_out_header { .len = 3, .error = 0, .unique = 9 });
    std::vector<Bytes> messages { replyMessage(7), replyMessage(8, pattern(1, 1)), shortHeader,
        replyMessage(10, pattern(144, 1)), replyMessage(11) };
    std::vector<std::vector<std::ptrdiff_t>> regions { { 16 }, { 16, 1 }, { 16 }, { 16, 144 }, { 16 } };
    Bytes stream;
    for (const Bytes& message : messages)
        stream.insert(stream.end(), message.begin(), message.end());
    peer.writeInPieces(stream, 7);
    for (std::size_t index = 0; index < messages.size(); ++index) {
        DiscontiguousData delivered = inbox->next().get();
        EXPECT_EQ(test::regionCounts(delivered), regions[index]) << index;
        EXPECT_EQ(bytesOf(delivered), messages[index]) << index;
    }
    tasks::runBlocking(transport->deactivate());
    EXPECT_TRUE(inbox->isEmpty());
}

TEST(SocketTransportMedium, EndOfStreamBetweenOrInsideMessagesIsReportedOnceAsEBADMSG)
{
    // What the daemon wrote before it went away, and how many whole messages that holds.
    Bytes message = replyMessage(12, pattern(144, 4));
    const std::vector<std::pair<Bytes, std::size_t>> cases { { message, 1 },
        { Bytes(message.begin(), message.begin() + 40), 0 },
        { Bytes(message.begin(), message.begin() + 8), 0 } };
    for (const auto& [written, whole] : cases) {
        FusePeer peer;
        SocketTransportMedium transport(peer.takeChannelEnd());
        auto inbox = std::make_shared<Inbox>();
        transport.activate(handlerFor(inbox));
        peer.write(written);
        peer.closeConnection();
        for (std::size_t index = 0; index < whole; ++index)
            EXPECT_EQ(bytesOf(inbox->next().get()), message);
        EXPECT_EQ(errnoThrownBy([&] { (void)inbox->next().get(); }), posix::ebadmsg);
        // The source stays quiet after the failure although the socket remains at end of stream;
        // deactivation waits for any read in progress, so the count is final once it returns.
        tasks::runBlocking(transport.deactivate());
        EXPECT_TRUE(inbox->isEmpty());
    }
}

TEST_F(SocketTransportMediumTest, DeactivationWaitsForTheReadInProgressThenClosesTheSocketAndLogs)
{
    os::LogCapture log;
    activate();
    Bytes message = replyMessage(14, pattern(144, 6));
    // Once the header has been consumed the transport is inside the read of the body.
    peer.writeInPieces(Bytes(message.begin(), message.begin() + 16), 16);
    tasks::TaskHandle<void> deactivation = tasks::spawn(transport->deactivate());
    peer.write(Bytes(message.begin() + 16, message.end()));
    tasks::runBlocking(deactivation.value());

    ASSERT_EQ(inbox->count(), 1u);
    EXPECT_EQ(bytesOf(inbox->next().get()), message);
    EXPECT_EQ(socketHandle->fileDescriptor(), -1);
    peer.waitUntilDisconnected();
    std::vector<os::LogMessage> messages = log.messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].subsystem, BuildConfig::variantIdentifier);
    EXPECT_EQ(messages[0].category, "channel");
    EXPECT_EQ(messages[0].level, os::LogLevel::info);
    EXPECT_EQ(messages[0].text, "socket closed");
}

TEST(SocketTransportMedium, DestroyingTheTransportClosesTheSocketWhetherActiveOrNot)
{
    for (bool active : { false, true }) {
        FusePeer peer;
        auto transport = std::make_unique<SocketTransportMedium>(peer.takeChannelEnd());
        if (active)
            transport->activate([](tasks::Result<DiscontiguousData>) {});
        transport.reset();
        peer.waitUntilDisconnected();
    }
}

TEST_F(SocketTransportMediumTest, AFailedSendOrCloseIsThePOSIXErrorOfThatCall)
{
    peer.stopReceiving();
    Request request(FUSE_STATFS, 1, 0, 0, 0);
    EXPECT_EQ(errnoThrownBy([&] { tasks::runBlocking(transport->write(request.data())); }), EPIPE);
    socketHandle->close();
    EXPECT_EQ(errnoThrownBy([&] { tasks::runBlocking(transport->deactivate()); }), EBADF);
}

TEST(SocketTransportMedium, AShortSendIsContinuedWhereItStopped)
{
    // A send that a signal interrupts after part of a region has gone out returns that part's
    // length. The region is many times the socket's buffer and the far end reads it a little at a
    // time, signalling the writing thread after each read, so the write is cut short many times.
    int descriptors[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, descriptors), 0);
    int bufferSize = 8192;
    ::setsockopt(descriptors[0], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    struct sigaction interrupting {
    }, previous {};
    interrupting.sa_handler = [](int) {};
    sigemptyset(&interrupting.sa_mask);
    ASSERT_EQ(::sigaction(SIGUSR2, &interrupting, &previous), 0);
    SocketTransportMedium transport(std::make_shared<foundation::FileHandle>(descriptors[0]));
    Bytes body = pattern(1 << 20, 8);
    Request request(
        FUSE_WRITE, 1, 0, 0, 0, Request::Part::unmanaged(DiscontiguousData(DiscontiguousData::Region(body))));
    Bytes expected = bytesOf(request.data());

    std::atomic<bool> failed { false };
    testing_support::ManualExecutor executor;
    auto writeOnce = [&]() -> tasks::Task<void> {
        try {
            co_await transport.write(request.data());
        } catch (...) {
            failed = true;
        }
    };
    std::thread writer([&] {
        tasks::spawn(writeOnce(), executor);
        executor.runUntilIdle();
    });
    Bytes received;
    while (received.size() < expected.size()) {
        pollfd readable { .fd = descriptors[1], .events = POLLIN, .revents = 0 };
        ASSERT_EQ(::poll(&readable, 1, 10'000), 1)
            << "the write stopped after " << received.size() << " bytes";
        Bytes piece(std::min<std::size_t>(4096, expected.size() - received.size()));
        ssize_t count = ::read(descriptors[1], piece.data(), piece.size());
        ASSERT_GT(count, 0);
        received.insert(received.end(), piece.begin(), piece.begin() + count);
        ::pthread_kill(writer.native_handle(), SIGUSR2);
    }
    writer.join();
    ::sigaction(SIGUSR2, &previous, nullptr);
    EXPECT_FALSE(failed.load());
    EXPECT_TRUE(received == expected);
    ::close(descriptors[1]);
}

tasks::Task<void> writeAll(SocketTransportMedium& transport, std::vector<Request> requests)
{
    for (const Request& request : requests)
        co_await transport.write(request.data());
}

TEST_F(SocketTransportMediumTest, MessagesWrittenFromManyTasksAtOnceAreNeverInterleaved)
{
    constexpr int writers = 8;
    constexpr int requestsPerWriter = 16;
    // Second regions of different sizes; every fourth may exceed the socket's buffer.
    std::vector<Bytes> contents(writers * requestsPerWriter);
    std::map<std::uint64_t, Bytes> expected;
    std::vector<std::vector<Request>> batches(writers);
    for (int index = 0; index < writers * requestsPerWriter; ++index) {
        Bytes& content = contents[static_cast<std::size_t>(index)];
        content = pattern(static_cast<std::size_t>(1 + (index * 7919) % (index % 4 == 0 ? 256 * 1024 : 2048)),
            static_cast<unsigned>(index));
        Request request(FUSE_LOOKUP, static_cast<std::uint64_t>(index), 0, 0, 0,
            Request::Part::unmanaged(
                DiscontiguousData(DiscontiguousData::Region(content), Request::Part::nullByte)));
        expected.emplace(request.unique(), bytesOf(request.data()));
        batches[static_cast<std::size_t>(index % writers)].push_back(request);
    }
    auto writeBatches = [&](tasks::DiscardingTaskGroup& group) -> tasks::Task<void> {
        for (std::vector<Request>& batch : batches)
            group.addTask(writeAll(*transport, batch));
        co_return;
    };
    tasks::runBlocking(tasks::withThrowingDiscardingTaskGroup(writeBatches));

    peer.waitForRequestCount(expected.size());
    std::vector<testing_support::FuseRequest> received = peer.requests();
    ASSERT_EQ(received.size(), expected.size());
    for (const testing_support::FuseRequest& request : received) {
        auto match = expected.find(request.unique());
        ASSERT_NE(match, expected.end()) << "a request the transport never wrote";
        EXPECT_EQ(request.bytes(), match->second) << "request " << request.unique();
        expected.erase(match);
    }
}

TEST(SocketTransportMediumDeathTest, DeactivatingTwiceEndsTheProcess)
{
    EXPECT_DEATH(
        {
            FusePeer peer;
            SocketTransportMedium transport(peer.takeChannelEnd());
            tasks::runBlocking(transport.deactivate());
            tasks::runBlocking(transport.deactivate());
        },
        "deactivated twice");
}

} // namespace
} // namespace vl
