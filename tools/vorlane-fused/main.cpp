// vorlane-fused: a FUSE daemon for Linux that serves an in-memory file system to one volume.
#include "vorlane-fused/DaemonCommandLine.h"
#include "vorlane-fused/DaemonProgram.h"
#include "Common/SignalWatcher.h"

#include <algorithm>
#include <csignal>
#include <iostream>

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
    fused::DaemonProgram program(std::move(options));
    services::SignalWatcher signals({SIGINT, SIGTERM}, [&program](int) { program.stop(); });
    return program.run(std::cout);
}
