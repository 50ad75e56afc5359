// One FUSE session on the daemon's end of a volume's socket: serve() answers requests on the
// calling thread until the volume sends DESTROY or closes its end, the stream breaks, or stop()
// is called from another thread.
//
// stop() may come at any time, from any thread, any number of times: before serve() (which then
// does not begin), during it (the socket is shut down, so the blocked read returns) or after it.
// The socket's descriptor is shut down only while serve() still holds it open.
#pragma once

#include "Platform/Foundation/FileHandle.h"
#include "vorlane-fused/FileSystemBackend.h"
#include "vorlane-fused/FuseServer.h"

#include <memory>
#include <mutex>

namespace fused {

class FuseSession {
public:
    enum class Ending { destroyed, peerClosed, stopped, protocolError };

    // Throws foundation::POSIXError when the socket cannot be duplicated for the server.
    Ending serve(const foundation::FileHandle& socket, FileSystemBackend& backend, DaemonFeatures features);
    void stop();

private:
    std::mutex mutex;
    bool stopRequested = false;
    int servingSocket = -1;
};

const char* describe(FuseSession::Ending ending);

} // namespace fused
