#include "vorlane-fused/DaemonCommandLine.h"

namespace fused {

const std::string_view daemonUsage
    = "usage: vorlane-fused [--case-insensitive] [--volume-rename] [--extended-access] [--no-xattr]\n"
      "                     [--trace] [--mount-point DIR [--volume-checks-access]] [memfs | "
      "passthrough:DIR]\n"
      "Asks the launch services for a volume, prints its UUID and serves it until it goes away:\n"
      "memfs, an in-memory file system (the default), or passthrough:DIR, the host directory DIR.\n"
      "  --case-insensitive  names compare without regard to case (announced to the volume)\n"
      "  --volume-rename     the volume may be renamed (announced to the volume)\n"
      "  --extended-access   access checks are asked of the daemon (announced to the volume)\n"
      "  --no-xattr          answer every extended-attribute request ENOSYS\n"
      "  --trace             log every request served\n"
      "  --mount-point DIR   the services mount the volume on DIR\n"
      "  --volume-checks-access\n"
      "                      ... without the kernel's permission checks: access(2) asks the volume\n";

namespace {

constexpr std::string_view passthroughPrefix = "passthrough:";

} // namespace

DaemonOptions parseDaemonArguments(const std::vector<std::string>& arguments)
{
    DaemonOptions options;
    std::vector<std::string> flags;
    bool fileSystemGiven = false;
    for (auto argument = arguments.begin(); argument != arguments.end(); ++argument) {
        bool* feature = nullptr;
        if (*argument == "--case-insensitive")
            feature = &options.features.caseInsensitive;
        else if (*argument == "--volume-rename")
            feature = &options.features.volumeRename;
        else if (*argument == "--extended-access")
            feature = &options.features.extendedAccess;
        if (feature) {
            if (!*feature)
                flags.push_back(argument->substr(2));
            *feature = true;
        } else if (*argument == "--no-xattr") {
            options.features.extendedAttributes = false;
        } else if (*argument == "--volume-checks-access") {
            options.volumeChecksAccess = true;
        } else if (*argument == "--trace") {
            options.features.trace = true;
        } else if (*argument == "--mount-point") {
            if (++argument == arguments.end() || argument->empty())
                throw UsageError("--mount-point needs a directory");
            if (options.mountPoint)
                throw UsageError("only one mount point may be given");
            options.mountPoint = std::filesystem::absolute(*argument);
        } else if (argument->starts_with("-")) {
            throw UsageError("unknown option " + *argument);
        } else if (fileSystemGiven) {
            throw UsageError("only one file system may be given, not also " + *argument);
        } else if (*argument == "memfs") {
            fileSystemGiven = true;
        } else if (argument->starts_with(passthroughPrefix)) {
            std::string directory = argument->substr(passthroughPrefix.size());
            if (directory.empty())
                throw UsageError("passthrough needs a directory: passthrough:DIR");
            fileSystemGiven = true;
            options.fileSystem = "passthrough";
            options.passthroughDirectory = std::filesystem::absolute(directory);
        } else {
            throw UsageError("unknown file system " + *argument);
        }
    }
    if (options.volumeChecksAccess && !options.mountPoint)
        throw UsageError("--volume-checks-access needs --mount-point");
    flags.push_back(options.fileSystem);
    options.mountOptions = std::move(flags);
    return options;
}

} // namespace fused
