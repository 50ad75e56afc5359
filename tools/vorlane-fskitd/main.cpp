// vorlane-fskitd: the FSKit host for one block device.
//
//     vorlane-fskitd [--report-and-exit] [--stop-with-parent] [--mount-point DIR [--volume-checks-access]]
//     DEVICE
//
// Loads DEVICE with the extension's file system, activates and mounts its volume and prints what
// FSKit was told. With --mount-point it then presents the volume to the Linux kernel at DIR and
// serves until the kernel unmounts it or SIGINT/SIGTERM arrives (then it unmounts it itself);
// --volume-checks-access mounts without default_permissions, so access(2) reaches the volume.
// Without, it waits for SIGINT or SIGTERM (or not at all with --report-and-exit). Either way it
// deactivates and unloads the volume before it exits. --stop-with-parent treats the end of the
// process that started the host (the launch services) like SIGTERM.
//
// A stop is honoured at every stage, with one line on standard error: while serving (or waiting
// for a signal) it unmounts and tears down in order; while the volume loads or is torn down, or
// when a stop comes again, nothing in order can be waited for (the daemon may never answer), so
// the host detaches a mount it made and exits at once with status 1. The launch services own the
// device and clean up after a host that exits.
#include "Common/SignalWatcher.h"
#include "Platform/Tasks/Spawn.h"
#include "VLFSModule/FileSystem.h"
#include "vorlane-fskitd/FSKitHost.h"
#include "vorlane-fskitd/MountedVolume.h"
#include "vorlane-fskitd/ParentWatcher.h"

#include <sys/mount.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>

namespace {

// How long the host waits at exit for the background work of its volume.
constexpr std::chrono::seconds backgroundWorkLimit { 5 };

constexpr const char* usageText = "usage: vorlane-fskitd [--report-and-exit] [--stop-with-parent] "
                                  "[--mount-point DIR [--volume-checks-access]] "
                                  "DEVICE\n";

struct CommandLine {
    bool reportAndExit = false;
    bool volumeChecksAccess = false;
    bool stopWithParent = false;
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
        else if (argument == "--stop-with-parent")
            line.stopWithParent = true;
        else if (argument == "--mount-point" && index + 1 < argc && !line.mountPoint)
            line.mountPoint = argv[++index];
        else if (line.device.empty() && !argument.starts_with("-"))
            line.device = argument;
        else
            return std::nullopt;
    }
    if (line.device.empty() || (line.reportAndExit && line.mountPoint)
        || (line.volumeChecksAccess && !line.mountPoint))
        return std::nullopt;
    return line;
}

// What a stop (a termination signal, the parent's end) does at the stage the host is in; see the
// file comment.
class StopRequest {
public:
    void request(const std::string& reason)
    {
        std::lock_guard guard(mutex);
        if (!requested && (serving || waiting)) {
            requested = true;
            std::cerr << "vorlane-fskitd: " << reason << ": " << (serving ? "unmounting" : "stopping")
                      << std::endl;
            if (serving)
                serving->stop();
            changed.notify_all();
            return;
        }
        std::cerr << "vorlane-fskitd: " << reason << " while " << stage() << ": exiting at once" << std::endl;
        if (serving)
            ::umount2(mountPoint.c_str(), MNT_DETACH);
        std::_Exit(1);
    }
    void wait()
    {
        std::unique_lock guard(mutex);
        waiting = true;
        loaded = true;
        changed.wait(guard, [this] { return requested; });
        waiting = false;
    }
    // Stops `mounted` (mounted at `at`) when a stop comes (at once when one already has); null
    // lets it go, and the host is tearing down from then on.
    void watch(host::MountedVolume* mounted, const std::string& at = {})
    {
        std::lock_guard guard(mutex);
        serving = mounted;
        mountPoint = at;
        loaded = true;
        if (serving && requested)
            serving->stop();
    }

private:
    const char* stage() const
    {
        if (serving)
            return "waiting for the volume's last answers";
        return loaded ? "tearing the volume down" : "loading the volume";
    }

    std::mutex mutex;
    std::condition_variable changed;
    bool requested = false;
    bool waiting = false;
    bool loaded = false;
    host::MountedVolume* serving = nullptr;
    std::string mountPoint;
};

void present(
    host::FSKitHost& fskit, const std::string& mountPoint, bool volumeChecksAccess, StopRequest& stopRequest)
{
    host::MountedVolume mounted(fskit.loadedVolume(), fskit.rootItem(), mountPoint, !volumeChecksAccess);
    std::cout << "mounted at " << mountPoint << "\n" << std::flush;
    stopRequest.watch(&mounted, mountPoint);
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
    services::SignalWatcher signals({ SIGINT, SIGTERM },
        [&stopRequest](int signal) { stopRequest.request("stopping on signal " + std::to_string(signal)); });
    std::optional<host::ParentWatcher> parent;
    try {
        if (line->stopWithParent)
            parent.emplace(
                [&stopRequest] { stopRequest.request("the process that started the host has ended"); });
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
