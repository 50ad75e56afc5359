#include "vorlane-services/ServicesCommandLine.h"

#include "Platform/XPC/RuntimeDirectory.h"
#include "VLFoundation/DiskImage.h"

#include <charconv>

namespace services {

namespace {

std::int64_t number(const std::string& option, const std::string& text, std::int64_t smallest)
{
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value < smallest)
        throw UsageError(option + " needs a whole number of at least " + std::to_string(smallest) + ", not \""
            + text + "\"");
    return value;
}

} // namespace

const std::string_view servicesUsage
    = "usage: vorlane-services [--host PATH] [--disk-image-tool PATH] [--image-directory DIR]\n"
      "                        [--image-size BYTES] [--host-patience SECONDS]\n"
      "Serves the broker and the daemon service until SIGINT or SIGTERM; prints \"ready\" once both listen.\n"
      "  --host PATH             the FSKit host, run as `PATH DEVICE` per volume (default: "
      "$VORLANE_FSKIT_HOST,\n"
      "                          else this build's vorlane-fskitd)\n"
      "  --disk-image-tool PATH  the disk-image tool (default: the project's hdiutil stand-in)\n"
      "  --image-directory DIR   where images are made (default: images in $VORLANE_RUNTIME_DIR or "
      "/run/vorlane)\n"
      "  --image-size BYTES      bytes per image, at least 512 (default: 1048576)\n"
      "  --host-patience SECONDS how long a host may take to end once its device is deactivated (default: "
      "10)\n";

ServicesOptions parseServicesArguments(
    const std::vector<std::string>& arguments, std::optional<std::string> hostFromEnvironment)
{
    ServicesOptions options;
    options.hostCommand
        = hostFromEnvironment && !hostFromEnvironment->empty() ? *hostFromEnvironment : VL_FSKIT_HOST;
    options.diskImageTool = vl::DiskImage::defaultToolURL().path().value_or("");
    options.imageDirectory = xpc::runtimeDirectory() + "/images";
    for (std::size_t index = 0; index < arguments.size(); ++index) {
        const std::string& option = arguments[index];
        if (index + 1 == arguments.size())
            throw UsageError(
                option.starts_with("--") ? option + " needs a value" : "unexpected argument " + option);
        const std::string& value = arguments[++index];
        if (option == "--host")
            options.hostCommand = value;
        else if (option == "--disk-image-tool")
            options.diskImageTool = value;
        else if (option == "--image-directory")
            options.imageDirectory = value;
        else if (option == "--image-size")
            options.imageSize = number(option, value, 512);
        else if (option == "--host-patience")
            options.hostPatience = std::chrono::seconds(number(option, value, 0));
        else
            throw UsageError("unknown option " + option);
    }
    for (const std::string* path : { &options.hostCommand, &options.diskImageTool, &options.imageDirectory })
        if (path->empty())
            throw UsageError("paths must not be empty");
    return options;
}

} // namespace services
