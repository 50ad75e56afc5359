#include "vorlane-fused/DaemonCommandLine.h"

#include <gtest/gtest.h>

namespace {

using fused::parseDaemonArguments;
using Words = std::vector<std::string>;

// Without arguments the daemon serves memfs announcing nothing; flags choose the features and
// become the mount options in their order; passthrough serves a directory; both it and the mount
// point are made absolute.
TEST(DaemonCommandLine, flagsChooseTheFeaturesTheFileSystemAndTheMountOptions)
{
    // (case-insensitive, volume-rename, extended-access, extended attributes) and the mount options.
    auto chosen = [](const Words& arguments) {
        fused::DaemonOptions options = parseDaemonArguments(arguments);
        const fused::DaemonFeatures& features = options.features;
        return std::tuple(features.caseInsensitive, features.volumeRename, features.extendedAccess,
            features.extendedAttributes, options.mountOptions);
    };
    EXPECT_EQ(parseDaemonArguments({}).fileSystem, "memfs");
    EXPECT_EQ(chosen({}), std::tuple(false, false, false, true, Words { "memfs" }));
    EXPECT_EQ(chosen({ "--extended-access", "memfs", "--case-insensitive", "--extended-access" }),
        std::tuple(true, false, true, true, Words { "extended-access", "case-insensitive", "memfs" }));
    EXPECT_EQ(chosen({ "--volume-rename" }),
        std::tuple(false, true, false, true, Words { "volume-rename", "memfs" }));
    EXPECT_EQ(chosen({ "--no-xattr" }), std::tuple(false, false, false, false, Words { "memfs" }));

    fused::DaemonOptions passthrough = parseDaemonArguments(
        { "--mount-point", "mnt", "passthrough:/srv/data", "--case-insensitive", "--volume-checks-access" });
    EXPECT_EQ(std::tie(passthrough.fileSystem, passthrough.passthroughDirectory, passthrough.mountPoint,
                  passthrough.mountOptions, passthrough.volumeChecksAccess),
        std::tuple("passthrough", "/srv/data", std::filesystem::current_path() / "mnt",
            Words { "case-insensitive", "passthrough" }, true));
    EXPECT_EQ(parseDaemonArguments({ "passthrough:src" }).passthroughDirectory,
        std::filesystem::current_path() / "src");
}

TEST(DaemonCommandLine, aCommandLineItCannotUnderstandIsAUsageError)
{
    for (const Words& arguments :
        std::vector<Words> { { "--verbose" }, { "passthrough:" }, { "memfs", "memfs" },
            { "memfs", "passthrough:/srv" }, { "-" }, { "--mount-point" }, { "--mount-point", "" },
            { "--mount-point", "/a", "--mount-point", "/b" }, { "--volume-checks-access", "memfs" } })
        EXPECT_THROW(parseDaemonArguments(arguments), fused::UsageError) << arguments.back();
}

} // namespace
