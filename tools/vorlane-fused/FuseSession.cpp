#include "vorlane-fused/FuseSession.h"

#include "Platform/Foundation/POSIXError.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fused {

FuseSession::Ending FuseSession::serve(
    const foundation::FileHandle& socket, FileSystemBackend& backend, DaemonFeatures features)
{
    // The server owns and closes its descriptor; the handle keeps its own.
    int descriptor = ::fcntl(socket.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
    if (descriptor < 0)
        throw foundation::POSIXError::fromErrno("duplicate the FUSE socket");
    {
        std::lock_guard lock(mutex);
        if (stopRequested) {
            ::close(descriptor);
            return Ending::stopped;
        }
        servingSocket = descriptor;
    }
    FuseServer::Ending ending;
    bool stopped;
    {
        FuseServer server(descriptor, backend, features);
        ending = server.serve();
        // Given up before the server closes the descriptor, so stop() never shuts down a number
        // that has been reused.
        std::lock_guard lock(mutex);
        servingSocket = -1;
        stopped = stopRequested;
    }
    switch (ending) {
    case FuseServer::Ending::destroyed:
        return Ending::destroyed;
    case FuseServer::Ending::protocolError:
        return Ending::protocolError;
    case FuseServer::Ending::peerClosed:
        return stopped ? Ending::stopped : Ending::peerClosed;
    }
    return Ending::protocolError;
}

void FuseSession::stop()
{
    std::lock_guard lock(mutex);
    stopRequested = true;
    if (servingSocket >= 0)
        ::shutdown(servingSocket, SHUT_RDWR);
}

const char* describe(FuseSession::Ending ending)
{
    switch (ending) {
    case FuseSession::Ending::destroyed:
        return "the volume ended the session";
    case FuseSession::Ending::peerClosed:
        return "the volume closed its socket";
    case FuseSession::Ending::stopped:
        return "the session was stopped";
    case FuseSession::Ending::protocolError:
        return "the volume broke the protocol";
    }
    return "unknown";
}

} // namespace fused
