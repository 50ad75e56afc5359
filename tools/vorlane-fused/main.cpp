// vorlane-fused: a FUSE daemon for Linux that serves an in-memory file system or a host directory
// to one volume.
#include "Common/SignalWatcher.h"
#include "Platform/Tasks/Spawn.h"
#include "vorlane-fused/DaemonCommandLine.h"
#include "vorlane-fused/DaemonProgram.h"
#include "vorlane-fused/PassthroughFileSystem.h"

#include <algorithm>
#include <csignal>
#include <iostream>
#include <optional>

int main(int argc, char** argv)
{
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (std::find(arguments.begin(), arguments.end(), "--help") != arguments.end()) {
        std::cout << fused::daemonUsage;
        return 0;
    }
    fused::DaemonOptions options;
    try {
        options = fused::parseDaemonArguments(arguments);
    } catch (const fused::UsageError& error) {
        std::cerr << "vorlane-fused: " << error.what() << "\n" << fused::daemonUsage;
        return 2;
    }
    std::optional<fused::DaemonProgram> program;
    try {
        program.emplace(std::move(options));
    } catch (const fused::BackendError& error) {
        std::cerr << "vorlane-fused: " << error.what() << "\n";
        return 2;
    }
    services::SignalWatcher signals({ SIGINT, SIGTERM }, [&program](int) { program->stop(); });
    int status = program->run(std::cout);
    tasks::waitForSpawnedTasks(std::chrono::seconds(5));
    return status;
}
