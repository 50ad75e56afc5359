// vorlane-fskitd: the FSKit host for one block device.
//
//     vorlane-fskitd [--report-and-exit] [--mount-point DIR [--volume-checks-access]] DEVICE
//
// Loads DEVICE with the extension's file system, activates and mounts its volume and prints what
// FSKit was told. With --mount-point it then presents the volume to the Linux kernel at DIR and
// serves until the kernel unmounts it or SIGINT/SIGTERM arrives (then it unmounts it itself);
// --volume-checks-access mounts without default_permissions, so access(2) reaches the volume.
// Without, it waits for SIGINT or SIGTERM (or not at all with --report-and-exit). Either way it
// deactivates and unloads the volume before it exits.
#include "Common/SignalWatcher.h"
#include "Platform/Tasks/Spawn.h"
#include "VLFSModule/FileSystem.h"
#include "vorlane-fskitd/FSKitHost.h"
#include "vorlane-fskitd/MountedVolume.h"

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>

namespace {

// How long the host waits at exit for the background work of its volume.
constexpr std::chrono::seconds backgroundWorkLimit{5};

constexpr const char* usageText =
    "usage: vorlane-fskitd [--report-and-exit] [--mount-point DIR [--volume-checks-access]] DEVICE\n";

struct CommandLine {
    bool reportAndExit = false;
    bool volumeChecksAccess = false;
    std::optional<std::string> mountPoint;
    std::string device;
};

std::optional<CommandLine> parse(int argc, char** argv)
{
    CommandLine line;
    for (int index = 1; index < argc; ++index) {
        std::string argument = argv[index];
        if (argument == "--report-and-exit")
            line.reportAndExit = true;
        else if (argument == "--volume-checks-access")
            line.volumeChecksAccess = true;
        else if (argument == "--mount-point" && index + 1 < argc && !line.mountPoint)
            line.mountPoint = argv[++index];
        else if (line.device.empty() && !argument.starts_with("-"))
            line.device = argument;
        else
            return std::nullopt;
    }
    if (line.device.empty() || (line.reportAndExit && line.mountPoint) || (line.volumeChecksAccess && !line.mountPoint))
        return std::nullopt;
    return line;
}

// What a termination signal stops: the mount being served, or the wait for the signal itself.
class StopRequest {
public:
    void request()
    {
        std::lock_guard guard(mutex);
        requested = true;
        if (serving)
            serving->stop();
        changed.notify_all();
    }
    void wait()
    {
        std::unique_lock guard(mutex);
        changed.wait(guard, [this] { return requested; });
    }
    // Stops `mounted` when a stop comes (at once when one already has); null lets it go.
    void watch(host::MountedVolume* mounted)
    {
        std::lock_guard guard(mutex);
        serving = mounted;
        if (serving && requested)
            serving->stop();
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool requested = false;
    host::MountedVolume* serving = nullptr;
};

void present(host::FSKitHost& fskit, const std::string& mountPoint, bool volumeChecksAccess, StopRequest& stopRequest)
{
    host::MountedVolume mounted(fskit.loadedVolume(), fskit.rootItem(), mountPoint, !volumeChecksAccess);
    std::cout << "mounted at " << mountPoint << "\n" << std::flush;
    stopRequest.watch(&mounted);
    try {
        mounted.serve();
    } catch (...) {
        stopRequest.watch(nullptr);
        throw;
    }
    stopRequest.watch(nullptr);
}

} // namespace

int main(int argc, char** argv)
{
    std::optional<CommandLine> line = parse(argc, argv);
    if (!line) {
        std::cerr << usageText;
        return 2;
    }
    int status = 0;
    StopRequest stopRequest;
    services::SignalWatcher signals({SIGINT, SIGTERM}, [&stopRequest](int) { stopRequest.request(); });
    try {
        host::FSKitHost fskit(vl::FileSystem::shared(), fskit::FSBlockDeviceResource::open(line->device));
        bool reported = false;
        try {
            fskit.start();
            std::cout << fskit.report() << std::flush;
            reported = true;
            if (line->mountPoint)
                present(fskit, *line->mountPoint, line->volumeChecksAccess, stopRequest);
            else if (!line->reportAndExit)
                stopRequest.wait();
        } catch (...) {
            if (!reported)
                std::cout << fskit.report() << std::flush;
            try {
                fskit.stop();
            } catch (const std::exception& error) {
                std::cerr << "vorlane-fskitd: " << error.what() << "\n";
            }
            throw;
        }
        fskit.stop();
    } catch (const std::exception& error) {
        std::cerr << "vorlane-fskitd: " << error.what() << "\n";
        status = 1;
    }
    // The volume's background work (a statistics refresh a request started) ends before exit.
    tasks::waitForSpawnedTasks(backgroundWorkLimit);
    return status;
}
