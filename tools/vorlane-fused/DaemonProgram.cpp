#include "vorlane-fused/DaemonProgram.h"

#include "Platform/Tasks/Spawn.h"
#include "vorlane-fused/DaemonLog.h"
#include "vorlane-fused/MemoryFileSystem.h"
#include "vorlane-fused/PassthroughFileSystem.h"
#include "vorlane-fused/VolumeConnection.h"

namespace fused {

namespace {

std::unique_ptr<FileSystemBackend> openFileSystem(const DaemonOptions& options)
{
    if (options.fileSystem == "passthrough")
        return std::make_unique<PassthroughFileSystem>(options.passthroughDirectory);
    return std::make_unique<MemoryFileSystem>(options.features.caseInsensitive);
}

} // namespace

DaemonProgram::DaemonProgram(DaemonOptions options)
    : options(std::move(options))
    , fileSystem(openFileSystem(this->options))
{
}

void DaemonProgram::stop()
{
    std::shared_ptr<ServicesLink> current;
    {
        std::lock_guard lock(mutex);
        stopped = true;
        current = link;
    }
    if (current)
        current->close();
    session->stop();
}

int DaemonProgram::run(std::ostream& output)
{
    std::shared_ptr<ServicesLink> servicesLink;
    std::optional<VolumeGrant> grant;
    try {
        // The session, not the program, is what the connection's thread may still reach late.
        servicesLink = std::make_shared<ServicesLink>([session = session] { session->stop(); });
        {
            std::lock_guard lock(mutex);
            if (stopped)
                return 1;
            link = servicesLink;
        }
        std::optional<std::string> mountPoint;
        if (options.mountPoint)
            mountPoint = options.mountPoint->string();
        grant = tasks::runBlocking(servicesLink->requestVolume(
            options.mountOptions, mountPoint, volumeTimeLimit, options.volumeChecksAccess));
    } catch (const std::exception& error) {
        daemonLog().error("Cannot get a volume: %s", error);
        return 1;
    }
    daemonLog().info("Serving volume %s on %s", grant->volume, grant->bsdName);
    output << grant->volume.uuidString() << std::endl;

    std::shared_ptr<foundation::FileHandle> socket;
    try {
        socket = tasks::runBlocking(connectToVolume(grant->endpoint, options.mountOptions, connectTimeLimit));
    } catch (const std::exception& error) {
        daemonLog().error("Cannot connect to volume %s: %s", grant->volume, error);
        servicesLink->close();
        return 1;
    }
    FuseSession::Ending ending = FuseSession::Ending::protocolError;
    try {
        ending = session->serve(*socket, *fileSystem, options.features);
    } catch (const std::exception& error) {
        daemonLog().error("Cannot serve volume %s: %s", grant->volume, error);
    }
    daemonLog().info("Session of volume %s is over: %s", grant->volume, describe(ending));
    LookupTally outstanding = fileSystem->lookupTally();
    daemonLog().info(
        "session ended: %s nodes looked up (%s lookups outstanding)", outstanding.nodes, outstanding.lookups);
    servicesLink->close();
    return ending == FuseSession::Ending::protocolError ? 1 : 0;
}

} // namespace fused
