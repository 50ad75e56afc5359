#include "VLChannel/SocketTransportMedium.h"

#include "Platform/Foundation/POSIXError.h"
#include "Platform/OS/FatalError.h"
#include "Platform/OS/Signpost.h"
#include "Platform/OS/UnfairLock.h"
#include "VLChannel/ChannelLogger.h"
#include "VLFoundation/BuildConfig.h"
#include "Platform/Foundation/POSIXErrorCode.h"

#include <cerrno>
#include <cstdint>
#include <span>
#include <string>

#include <sys/socket.h>
#include <unistd.h>

namespace vl {
namespace {

constexpr std::ptrdiff_t headerCount = sizeof(fuse_out_header);

std::string queueLabel(std::string_view purpose)
{
    return std::string(BuildConfig::variantIdentifier) + ".queue.sockettransportmedium." +
           std::string(purpose);
}

// Fills `buffer` from the socket; the stream ending first is EBADMSG.
void readCompletely(int descriptor, std::span<std::byte> buffer)
{
    std::size_t got = 0;
    while (got < buffer.size()) {
        ssize_t count = ::read(descriptor, buffer.data() + got, buffer.size() - got);
        if (count > 0)
            got += static_cast<std::size_t>(count);
        else if (count == 0)
            throw foundation::POSIXError(posix::ebadmsg, "read");
        else if (errno != EINTR)
            throw foundation::POSIXError::fromErrno("read");
    }
}

// One message: the header, then the len - 16 bytes that follow it, each in a buffer of its own.
DiscontiguousData readMessage(int descriptor)
{
    DiscontiguousData message(headerCount, false, [descriptor](std::span<std::byte> header) {
        readCompletely(descriptor, header);
    });
    std::uint32_t length = message.withUnsafeValue<fuse_out_header>(0, [](const fuse_out_header& header) {
        return header.len;
    });
    // Nothing the daemon may send is longer; a longer length is a broken stream, not a buffer to
    // allocate.
    if (length > Channel::maximumMessageLength)
        throw foundation::POSIXError(posix::eproto, "a message of " + std::to_string(length) + " bytes");
    std::ptrdiff_t remaining = static_cast<std::ptrdiff_t>(length) - headerCount;
    if (remaining >= 1)
        message.append(remaining, false,
                       [descriptor](std::span<std::byte> body) { readCompletely(descriptor, body); });
    return message;
}

// Sends every region in order, one send per region (continued after a short send); returns 0 or
// the errno of the send that failed. MSG_NOSIGNAL: a peer that is gone is an EPIPE, not a signal.
int sendRegions(int descriptor, const DiscontiguousData& message)
{
    for (const DiscontiguousData::Region& region : message.regions()) {
        std::span<const std::byte> bytes = region.bytes();
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t count = ::send(descriptor, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (count >= 0)
                sent += static_cast<std::size_t>(count);
            else if (errno != EINTR)
                return posix::currentErrno();
        }
    }
    return 0;
}

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
    template <typename Close>
    void closeSocket(Close close)
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
    : socketHandle(std::move(socketHandle)),
      socketDescriptor(this->socketHandle->fileDescriptor()),
      readQueue(queueLabel("read")),
      readSource(std::make_shared<dispatch::DispatchSourceRead>(socketDescriptor, readQueue)),
      writeQueue(queueLabel("write")),
      reader(std::make_shared<Reader>())
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
    readSource->setEventHandler([descriptor = socketDescriptor, readHandler = std::move(readHandler), source,
                                 reader = reader] {
        tasks::Result<DiscontiguousData> message =
            tasks::Result<DiscontiguousData>::catching([descriptor] { return readMessage(descriptor); });
        if (!message.isSuccess()) {
            if (std::shared_ptr<dispatch::DispatchSourceRead> watching = source.lock())
                reader->suspendAfterFailure(*watching);
        } else {
            os::signpostEvent("channel.received");
        }
        readHandler(std::move(message));
    });
    readSource->activate();
}

tasks::Task<void> SocketTransportMedium::write(DiscontiguousData message)
{
    int error = writeQueue.sync([&] { return sendRegions(socketDescriptor, message); });
    if (error != 0)
        throw foundation::POSIXError(error, "send");
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
