// The command line of vorlane-fused:
//
//   vorlane-fused [--case-insensitive] [--volume-rename] [--extended-access] [--no-xattr]
//                 [--trace] [--mount-point DIR [--volume-checks-access]] [memfs | passthrough:DIR]
//
// The first three flags choose the capabilities the daemon announces in its INIT reply;
// --no-xattr makes it answer ENOSYS to every extended-attribute request. The file system is
// "memfs", an in-memory file system (the default), or "passthrough:DIR", a host directory. The
// mount options it sends to the services and to the volume are the first three flags' names
// without dashes, then the file system's name ("memfs" or "passthrough"). --mount-point names the directory
// on which the services have the volume mounted; --volume-checks-access has them mount it without the
// kernel's own permission checks, so that access(2) reaches the volume. --trace logs one line per
// request served. Both paths are made absolute against the current
// directory, since the daemon's peers do not share it.
#pragma once

#include "vorlane-fused/FuseServer.h"

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace fused {

struct DaemonOptions {
    DaemonFeatures features;
    std::string fileSystem = "memfs";
    // The directory that "passthrough" serves; empty for "memfs".
    std::filesystem::path passthroughDirectory;
    std::optional<std::filesystem::path> mountPoint;
    bool volumeChecksAccess = false;
    std::vector<std::string> mountOptions { "memfs" };
};

// A command line that cannot be understood; its text says why.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

extern const std::string_view daemonUsage;

// `arguments` excludes the program's name. Throws UsageError. Does not look at the file system.
DaemonOptions parseDaemonArguments(const std::vector<std::string>& arguments);

} // namespace fused
