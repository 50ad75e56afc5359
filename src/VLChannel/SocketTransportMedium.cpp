#include "VLChannel/SocketTransportMedium.h"

#include "Platform/Foundation/DescriptorIO.h"
#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/POSIXErrorCode.h"
#include "Platform/OS/FatalError.h"
#include "Platform/OS/Signpost.h"
#include "Platform/OS/UnfairLock.h"
#include "Platform/Tasks/ResumeOn.h"
#include "Platform/Tasks/TaskContext.h"
#include "VLChannel/ChannelLogger.h"
#include "VLFoundation/BuildConfig.h"

#include <cstdint>
#include <span>
#include <string>
#include <utility>

#include <sys/socket.h>

namespace vl {
namespace {

constexpr std::ptrdiff_t headerCount = sizeof(fuse_out_header);

std::string queueLabel(std::string_view purpose)
{
    return std::string(BuildConfig::variantIdentifier) + ".queue.sockettransportmedium."
        + std::string(purpose);
}

// Fills `buffer` from the socket; the stream ending first is EBADMSG.
void fill(int descriptor, std::span<std::byte> buffer)
{
    if (foundation::readCompletely(descriptor, buffer) < buffer.size())
        throw foundation::POSIXError(posix::ebadmsg, "read");
}

// One message: the header, then the len - 16 bytes that follow it, each in a buffer of its own.
DiscontiguousData readMessage(int descriptor)
{
    DiscontiguousData message(
        headerCount, false, [descriptor](std::span<std::byte> header) { fill(descriptor, header); });
    std::uint32_t length = message.withUnsafeValue<fuse_out_header>(
        0, [](const fuse_out_header& header) { return header.len; });
    // Nothing the daemon may send is longer; a longer length is a broken stream, not a buffer to
    // allocate.
    if (length > Channel::maximumMessageLength)
        throw foundation::POSIXError(posix::eproto, "a message of " + std::to_string(length) + " bytes");
    std::ptrdiff_t remaining = static_cast<std::ptrdiff_t>(length) - headerCount;
    if (remaining >= 1)
        message.append(remaining, false, [descriptor](std::span<std::byte> body) { fill(descriptor, body); });
    return message;
}

// Marks a read queue's thread while it delivers a message, for writes made from inside the
// delivery (to any transport: none of them may hold up a delivery).
class ReadingThread {
public:
    ReadingThread()
        : previous(std::exchange(delivering, true))
    {
    }
    ~ReadingThread() { delivering = previous; }
    ReadingThread(const ReadingThread&) = delete;
    ReadingThread& operator=(const ReadingThread&) = delete;

    static bool isDelivering() { return delivering; }

private:
    static thread_local bool delivering;
    const bool previous;
};

thread_local bool ReadingThread::delivering = false;

} // namespace

// What the read source's handlers share with the transport; they may outlive it. The source is
// suspended after a failed read unless deactivation has begun, and deactivation resumes it so
// that its cancellation can complete. The socket is shut down only while it is still open, so
// that a descriptor number reused after the close is never touched.
struct SocketTransportMedium::Reader {
    os::UnfairLock lock;
    bool suspendedAfterFailure VL_GUARDED_BY(lock) = false;
    bool deactivated VL_GUARDED_BY(lock) = false;
    bool socketClosed VL_GUARDED_BY(lock) = false;

    void shutDown(int descriptor)
    {
        os::UnfairLockGuard guard(lock);
        if (!socketClosed)
            ::shutdown(descriptor, SHUT_RDWR);
    }

    // Runs `close` (which closes the socket) with shutDown() held off.
    template <typename Close> void closeSocket(Close close)
    {
        os::UnfairLockGuard guard(lock);
        socketClosed = true;
        close();
    }

    void suspendAfterFailure(dispatch::DispatchSourceRead& source)
    {
        os::UnfairLockGuard guard(lock);
        if (deactivated)
            return;
        source.suspend();
        suspendedAfterFailure = true;
    }

    // Cancels the source with `cancelHandler`; the second time ends the process.
    void deactivate(dispatch::DispatchSourceRead& source, std::function<void()> cancelHandler)
    {
        os::UnfairLockGuard guard(lock);
        if (deactivated)
            fatalError("SocketTransportMedium deactivated twice", "VLChannel/SocketTransportMedium");
        deactivated = true;
        source.setCancelHandler(std::move(cancelHandler));
        source.cancel();
        if (suspendedAfterFailure)
            source.resume();
    }

    bool isDeactivated()
    {
        os::UnfairLockGuard guard(lock);
        return deactivated;
    }
};

SocketTransportMedium::SocketTransportMedium(std::shared_ptr<foundation::FileHandle> socketHandle)
    : socketHandle(std::move(socketHandle))
    , socketDescriptor(this->socketHandle->fileDescriptor())
    , readQueue(queueLabel("read"))
    , readSource(std::make_shared<dispatch::DispatchSourceRead>(socketDescriptor, readQueue))
    , writeQueue(queueLabel("write"))
    , reader(std::make_shared<Reader>())
{
}

SocketTransportMedium::~SocketTransportMedium()
{
    if (reader->isDeactivated())
        return;
    // The handler holds the last reference to the socket until any read in progress has returned.
    reader->deactivate(*readSource, [handle = socketHandle, reader = reader]() mutable {
        reader->closeSocket([&handle] { handle.reset(); });
    });
}

void SocketTransportMedium::activate(ReadHandler readHandler)
{
    std::weak_ptr<dispatch::DispatchSourceRead> source = readSource;
    readSource->setEventHandler(
        [descriptor = socketDescriptor, readHandler = std::move(readHandler), source, reader = reader] {
            tasks::Result<DiscontiguousData> message = tasks::Result<DiscontiguousData>::catching(
                [descriptor] { return readMessage(descriptor); });
            if (!message.isSuccess()) {
                if (std::shared_ptr<dispatch::DispatchSourceRead> watching = source.lock())
                    reader->suspendAfterFailure(*watching);
            } else {
                os::signpostEvent("channel.received");
            }
            ReadingThread delivering;
            readHandler(std::move(message));
        });
    readSource->activate();
}

// Sends every region in order, one send per region (continued after a short send). A peer that is
// gone is an EPIPE, not a signal.
tasks::Task<void> SocketTransportMedium::write(DiscontiguousData message)
{
    if (ReadingThread::isDelivering())
        co_await tasks::resumeOn(tasks::currentTaskContext()->executor);
    writeQueue.sync([&] {
        for (const DiscontiguousData::Region& region : message.regions())
            foundation::writeCompletely(socketDescriptor, region.bytes());
    });
    os::signpostEvent("channel.sent");
    co_return;
}

void SocketTransportMedium::disconnect()
{
    reader->shutDown(socketDescriptor);
}

tasks::Task<void> SocketTransportMedium::deactivate()
{
    co_await tasks::withContinuation<void>([this](tasks::Continuation<void> continuation) {
        auto waiting = std::make_shared<tasks::Continuation<void>>(std::move(continuation));
        reader->deactivate(*readSource, [handle = socketHandle, reader = reader, waiting] {
            std::exception_ptr failure;
            reader->closeSocket([&] {
                try {
                    handle->close();
                } catch (...) {
                    failure = std::current_exception();
                }
            });
            // The error leaves this thread whole: nothing here touches it once the caller resumes.
            if (failure) {
                waiting->resumeThrowing(std::move(failure));
                return;
            }
            channelLogger().info("socket closed");
            waiting->resume();
        });
    });
}

} // namespace vl
