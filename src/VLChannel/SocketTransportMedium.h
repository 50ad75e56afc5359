// The channel's transport over the local end of a connected Unix stream socket pair (blocking).
//
// Reading: a read source on the socket fires on a private serial read queue; each firing reads
// exactly one message, its 16-byte fuse_out_header and then the rest (len - 16 bytes, if any),
// each into a buffer of its own, and hands the message (one or two regions) or the read's error
// to the read handler: EBADMSG when the stream ends while a message is expected, the POSIX error
// of a failed read otherwise. After a failed read the source is suspended, so end of stream is
// reported once, not in a loop. Writing: on a private serial write queue, one send per region
// (a short send continues with the rest of its region, EINTR is retried), so the regions of one
// message are never interleaved with another's; the calling thread blocks meanwhile, except the
// read queue's thread, whose writes move to the task's executor first: a send that waits for the
// daemon to read must never stop the replies that the daemon may be waiting to send. Deactivation
// cancels the source; once any read in progress has returned, the socket is closed and "socket
// closed" is logged. Disconnection shuts the socket down in both directions, which ends a read
// or send blocked on it; a header announcing more than Channel::maximumMessageLength bytes fails
// the read with EPROTO before anything is allocated for it. Destroying the transport without deactivating it
// cancels the source as well and closes the socket after any read in progress.
#pragma once

#include "Platform/Dispatch/DispatchQueue.h"
#include "Platform/Dispatch/DispatchSourceRead.h"
#include "Platform/Foundation/FileHandle.h"
#include "VLChannel/Channel.h"

#include <memory>

namespace vl {

class SocketTransportMedium final : public Channel::TransportMedium {
public:
    // Takes over the handle of the local end of the socket pair.
    explicit SocketTransportMedium(std::shared_ptr<foundation::FileHandle> socketHandle);
    ~SocketTransportMedium() override;

    // Does not fail.
    void activate(ReadHandler readHandler) override;
    // Fails with the POSIX error of a failed send; the rest of the message is not written.
    tasks::Task<void> write(DiscontiguousData message) override;
    // Fails with the error of closing the socket. Deactivating twice ends the process.
    tasks::Task<void> deactivate() override;
    // shutdown(2) in both directions, unless the socket is closed already.
    void disconnect() override;

private:
    struct Reader;

    const std::shared_ptr<foundation::FileHandle> socketHandle;
    const int socketDescriptor;
    const dispatch::DispatchQueue readQueue;
    const std::shared_ptr<dispatch::DispatchSourceRead> readSource;
    const dispatch::DispatchQueue writeQueue;
    const std::shared_ptr<Reader> reader;
};

} // namespace vl
