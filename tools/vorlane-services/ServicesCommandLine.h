// The command line of vorlane-services:
//
//   vorlane-services [--host PATH] [--disk-image-tool PATH] [--image-directory DIR]
//                    [--image-size BYTES] [--host-patience SECONDS]
//
// --host             the FSKit host program, run as `PATH DEVICE` for each volume; defaults to
//                    the environment variable VORLANE_FSKIT_HOST, else this build's vorlane-fskitd
// --disk-image-tool  the disk-image tool; defaults to the one DiskImage runs
// --image-directory  where images are made; defaults to "images" in the XPC runtime directory
// --image-size       bytes per image, at least 512; defaults to 1048576
// --host-patience    seconds a host may take to end on its own once its device is deactivated; 10
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace services {

struct ServicesOptions {
    std::string hostCommand;
    std::string diskImageTool;
    std::string imageDirectory;
    std::int64_t imageSize = 1 << 20;
    std::chrono::seconds hostPatience { 10 };
};

// A command line that cannot be understood; its text says why.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

extern const std::string_view servicesUsage;

// `arguments` excludes the program's name; `hostFromEnvironment` is VORLANE_FSKIT_HOST when set.
// Throws UsageError.
ServicesOptions parseServicesArguments(
    const std::vector<std::string>& arguments, std::optional<std::string> hostFromEnvironment);

} // namespace services
