#include "vorlane-services/ServicesCommandLine.h"

#include "Platform/XPC/RuntimeDirectory.h"
#include "VLFoundation/DiskImage.h"

#include <gtest/gtest.h>

namespace {

using services::parseServicesArguments;
using services::UsageError;

// Each option has a default and takes the value given; the host command comes from the option,
// then the environment, else this build's host.
TEST(ServicesCommandLine, everyOptionHasItsDefaultAndTakesTheValueGiven)
{
    services::ServicesOptions defaults = parseServicesArguments({}, std::nullopt);
    EXPECT_TRUE(defaults.hostCommand.ends_with("/vorlane-fskitd")) << defaults.hostCommand;
    EXPECT_EQ(
        std::tie(defaults.diskImageTool, defaults.imageDirectory, defaults.imageSize, defaults.hostPatience),
        std::tuple(vl::DiskImage::defaultToolURL().path(), xpc::runtimeDirectory() + "/images", 1048576,
            std::chrono::seconds(10)));

    services::ServicesOptions options
        = parseServicesArguments({ "--disk-image-tool", "/bin/tool", "--image-directory", "/var/images",
                                     "--image-size", "512", "--host-patience", "0" },
            std::nullopt);
    EXPECT_EQ(
        std::tie(options.diskImageTool, options.imageDirectory, options.imageSize, options.hostPatience),
        std::tuple("/bin/tool", "/var/images", 512, std::chrono::seconds(0)));

    EXPECT_EQ(parseServicesArguments({}, "/opt/host").hostCommand, "/opt/host");
    EXPECT_TRUE(parseServicesArguments({}, "").hostCommand.ends_with("/vorlane-fskitd"));
    EXPECT_EQ(parseServicesArguments({ "--host", "/bin/host" }, "/opt/host").hostCommand, "/bin/host");
}

TEST(ServicesCommandLine, aCommandLineItCannotUnderstandIsAUsageError)
{
    for (std::vector<std::string> arguments : std::vector<std::vector<std::string>> {
             { "--verbose", "yes" },
             { "--host" },
             { "memfs" },
             { "--image-size", "511" },
             { "--image-size", "1M" },
             { "--image-size", "" },
             { "--host-patience", "-1" },
             { "--image-directory", "" },
         })
        EXPECT_THROW(parseServicesArguments(arguments, std::nullopt), UsageError) << arguments.front();
}

} // namespace
