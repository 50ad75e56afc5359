// vorlane-fskitd: the FSKit host for one block device.
//
//     vorlane-fskitd [--report-and-exit] DEVICE
//
// Loads DEVICE with the extension's file system, activates and mounts its volume and prints what
// FSKit was told. Then it serves until SIGINT or SIGTERM (or at once with --report-and-exit)
// and unmounts, deactivates and unloads the volume before it exits.
#include "vorlane-fskitd/FSKitHost.h"
#include "VLFSModule/FileSystem.h"

#include <csignal>
#include <cstring>
#include <iostream>
#include <string>

namespace {

int usage()
{
    std::cerr << "usage: vorlane-fskitd [--report-and-exit] DEVICE\n";
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    bool reportAndExit = false;
    std::string device;
    for (int index = 1; index < argc; ++index) {
        std::string argument = argv[index];
        if (argument == "--report-and-exit")
            reportAndExit = true;
        else if (device.empty() && !argument.starts_with("-"))
            device = argument;
        else
            return usage();
    }
    if (device.empty())
        return usage();

    // Every thread started from here on inherits the blocked signals; only sigwait takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    try {
        host::FSKitHost fskit(vl::FileSystem::shared(), fskit::FSBlockDeviceResource::open(device));
        try {
            fskit.start();
        } catch (...) {
            std::cout << fskit.report() << std::flush;
            fskit.stop();
            throw;
        }
        std::cout << fskit.report() << std::flush;
        if (!reportAndExit) {
            int received = 0;
            sigwait(&stopSignals, &received);
        }
        fskit.stop();
    } catch (const std::exception& error) {
        std::cerr << "vorlane-fskitd: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
