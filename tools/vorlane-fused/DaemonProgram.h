// The whole of vorlane-fused once its command line is read: open the file system it serves, ask
// the daemon service for a volume, print the volume's UUID, call the volume for its socket and
// serve the file system on it until the session ends or the services say the device is gone.
// At the end it logs the lookups the volume left outstanding:
//   "session ended: N nodes looked up (M lookups outstanding)".
//
// run() is called once, on a plain thread (it blocks it); stop() may be called from any thread
// (a signal watcher's): it ends the wait for a volume, or the session.
#pragma once

#include "vorlane-fused/DaemonCommandLine.h"
#include "vorlane-fused/FuseSession.h"
#include "vorlane-fused/ServicesLink.h"

#include <chrono>
#include <memory>
#include <mutex>
#include <ostream>

namespace fused {

class DaemonProgram {
public:
    // Safety nets only: the services answer once the volume has advertised itself or is gone.
    static constexpr std::chrono::seconds volumeTimeLimit { 60 };
    static constexpr std::chrono::seconds connectTimeLimit { 10 };

    // Opens the file system; throws BackendError when a passthrough directory cannot be served.
    explicit DaemonProgram(DaemonOptions options);

    // Answers the exit status: 0 when the session ended in order (DESTROY, the volume closing
    // its end, the device gone, stop()), 1 when there was no volume to serve or the volume broke
    // the protocol.
    int run(std::ostream& output);
    void stop();

private:
    const DaemonOptions options;
    const std::unique_ptr<FileSystemBackend> fileSystem;
    const std::shared_ptr<FuseSession> session = std::make_shared<FuseSession>();
    std::mutex mutex;
    std::shared_ptr<ServicesLink> link;
    bool stopped = false;
};

} // namespace fused
