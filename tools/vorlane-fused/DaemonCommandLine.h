// The command line of vorlane-fused:
//
//   vorlane-fused [--case-insensitive] [--volume-rename] [--extended-access] [memfs]
//
// The flags choose the capabilities the daemon announces in its INIT reply; the one file system
// it serves is "memfs", an in-memory file system (the default). The mount options it sends to
// the services and to the volume are the flags' names without dashes, then the file system's.
#pragma once

#include "vorlane-fused/FuseServer.h"

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace fused {

struct DaemonOptions {
    DaemonFeatures features;
    std::string fileSystem = "memfs";
    std::vector<std::string> mountOptions{"memfs"};
};

// A command line that cannot be understood; its text says why.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

extern const std::string_view daemonUsage;

// `arguments` excludes the program's name. Throws UsageError.
DaemonOptions parseDaemonArguments(const std::vector<std::string>& arguments);

} // namespace fused
