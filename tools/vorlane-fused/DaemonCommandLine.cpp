#include "vorlane-fused/DaemonCommandLine.h"

namespace fused {

const std::string_view daemonUsage =
    "usage: vorlane-fused [--case-insensitive] [--volume-rename] [--extended-access] [memfs]\n"
    "Asks the launch services for a volume, prints its UUID and serves it until it goes away.\n";

DaemonOptions parseDaemonArguments(const std::vector<std::string>& arguments)
{
    DaemonOptions options;
    std::vector<std::string> flags;
    bool fileSystemGiven = false;
    for (const std::string& argument : arguments) {
        bool* feature = nullptr;
        if (argument == "--case-insensitive")
            feature = &options.features.caseInsensitive;
        else if (argument == "--volume-rename")
            feature = &options.features.volumeRename;
        else if (argument == "--extended-access")
            feature = &options.features.extendedAccess;
        if (feature) {
            if (!*feature)
                flags.push_back(argument.substr(2));
            *feature = true;
        } else if (argument.starts_with("-")) {
            throw UsageError("unknown option " + argument);
        } else if (fileSystemGiven) {
            throw UsageError("only one file system may be given, not also " + argument);
        } else if (argument != "memfs") {
            throw UsageError("unknown file system " + argument);
        } else {
            fileSystemGiven = true;
            options.fileSystem = argument;
        }
    }
    flags.push_back(options.fileSystem);
    options.mountOptions = std::move(flags);
    return options;
}

} // namespace fused
