#include "Platform/Dispatch/DispatchSourceRead.h"

#include "Support/SharedCounter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace {

using dispatch::DispatchQueue;
using dispatch::DispatchSourceRead;
using testing_support::SharedCounter;

// A connected stream socket pair; the test writes on `writer` and the source watches `reader`.
class SocketPair {
public:
    SocketPair()
    {
        int descriptors[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, descriptors), 0);
        reader = descriptors[0];
        writer = descriptors[1];
    }
    ~SocketPair()
    {
        ::close(reader);
        closeWriter();
    }
    SocketPair(const SocketPair&) = delete;
    SocketPair& operator=(const SocketPair&) = delete;

    void write(const std::string& text) const
    {
        ASSERT_EQ(::write(writer, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void closeWriter()
    {
        if (writer >= 0)
            ::close(std::exchange(writer, -1));
    }

    int reader = -1;
    int writer = -1;
};

// Reads what is there (at most 64 bytes); an empty result means end of stream.
std::string readSome(int descriptor)
{
    char buffer[64];
    ssize_t count = ::read(descriptor, buffer, sizeof buffer);
    return count > 0 ? std::string(buffer, static_cast<std::size_t>(count)) : std::string();
}

// Data written before activation waits for it; the handler runs on the target queue, so not
// while another block of that queue runs.
TEST(DispatchSourceRead, RunsTheEventHandlerOnItsQueueWhileTheDescriptorHasDataButOnlyOnceActivated)
{
    SocketPair sockets;
    DispatchQueue queue("events");
    DispatchSourceRead source(sockets.reader, queue);
    std::atomic<bool> activated { false };
    std::atomic<bool> queueBlockFinished { false };
    std::atomic<bool> ranTooEarly { false };
    std::mutex receivedMutex;
    std::string received;
    SharedCounter firings;
    source.setEventHandler([&] {
        if (!activated || !queueBlockFinished)
            ranTooEarly = true;
        std::string bytes = readSome(sockets.reader);
        {
            std::lock_guard guard(receivedMutex);
            received += bytes;
        }
        firings.increment();
    });
    sockets.write("first");
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    SharedCounter blockStarted;
    queue.async([&] {
        blockStarted.increment();
        released.wait();
        queueBlockFinished = true;
    });
    blockStarted.waitFor(1);
    activated = true;
    source.activate();
    release.set_value();
    firings.waitFor(1);
    sockets.write("second");
    firings.waitFor(2);
    std::lock_guard guard(receivedMutex);
    EXPECT_EQ(received, "firstsecond");
    EXPECT_FALSE(ranTooEarly);
}

TEST(DispatchSourceRead, CancelHandlerRunsAfterTheEventHandlerInProgressAndNoEventFollows)
{
    SocketPair sockets;
    DispatchQueue queue("cancel");
    DispatchSourceRead source(sockets.reader, queue);
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    SharedCounter firings;
    std::mutex orderMutex;
    std::vector<std::string> order;
    auto record = [&](std::string step) {
        std::lock_guard guard(orderMutex);
        order.push_back(std::move(step));
    };
    // The handler leaves the byte unread, so the descriptor stays readable throughout.
    source.setEventHandler([&] {
        firings.increment();
        released.wait();
        record("event handler returned");
    });
    SharedCounter cancelled;
    source.setCancelHandler([&] {
        record("cancel handler");
        cancelled.increment();
    });
    sockets.write("x");
    source.activate();
    firings.waitFor(1);
    source.cancel();
    EXPECT_TRUE(source.isCancelled());
    release.set_value();
    cancelled.waitFor(1);
    // The queue is free again once the cancel handler has returned.
    queue.sync([] {});
    std::lock_guard guard(orderMutex);
    EXPECT_EQ(order, (std::vector<std::string> { "event handler returned", "cancel handler" }));
    EXPECT_EQ(firings.value(), 1);
}

TEST(DispatchSourceRead, ASourceSuspendedAtEndOfStreamStaysQuietUntilResumed)
{
    SocketPair sockets;
    DispatchSourceRead source(sockets.reader, DispatchQueue("eof"));
    SharedCounter endOfStreamSeen;
    source.setEventHandler([&] {
        if (readSome(sockets.reader).empty()) {
            source.suspend();
            endOfStreamSeen.increment();
        }
    });
    SharedCounter cancelled;
    source.setCancelHandler([&] { cancelled.increment(); });
    source.activate();
    sockets.closeWriter();
    endOfStreamSeen.waitFor(1);
    // Resuming re-arms the source: end of stream is still there, so it fires once more.
    source.resume();
    endOfStreamSeen.waitFor(2);
    // A suspended source delivers its cancellation only once resumed.
    source.cancel();
    source.resume();
    cancelled.waitFor(1);
    EXPECT_EQ(endOfStreamSeen.value(), 2);
}

// Neither a source cancelled before it was ever activated nor an active one that is destroyed
// leaves its cancel handler unrun; each runs it once, on the queue.
TEST(DispatchSourceRead, ASourceNeverActivatedOrDestroyedWhileActiveRunsItsCancelHandlerOnce)
{
    SocketPair sockets;
    DispatchQueue queue("cancelled");
    SharedCounter cancelled;
    {
        DispatchSourceRead inactive(sockets.reader, queue);
        inactive.setCancelHandler([&] { cancelled.increment(); });
        inactive.cancel();
        inactive.cancel();
        cancelled.waitFor(1);
        DispatchSourceRead active(sockets.reader, queue);
        active.setEventHandler([&] { readSome(sockets.reader); });
        active.setCancelHandler([&] { cancelled.increment(); });
        active.activate();
    }
    cancelled.waitFor(2);
    queue.sync([] {});
    EXPECT_EQ(cancelled.value(), 2);
}

TEST(DispatchSourceReadDeathTest, MisuseEndsTheProcess)
{
    SocketPair sockets;
    EXPECT_DEATH(
        {
            DispatchSourceRead source(sockets.reader, DispatchQueue("twice"));
            source.setEventHandler([] {});
            source.activate();
            source.activate();
        },
        "activated twice");
    EXPECT_DEATH(
        {
            DispatchSourceRead source(sockets.reader, DispatchQueue("no handler"));
            source.activate();
        },
        "without an event handler");
    EXPECT_DEATH(
        {
            DispatchSourceRead source(sockets.reader, DispatchQueue("resume"));
            source.resume();
        },
        "resumed more often than suspended");
}

} // namespace
