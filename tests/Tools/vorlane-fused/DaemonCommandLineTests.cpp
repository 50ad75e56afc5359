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
    fused::DaemonOptions defaults = parseDaemonArguments({});
    EXPECT_EQ(defaults.fileSystem, "memfs");
    EXPECT_FALSE(defaults.features.caseInsensitive);
    EXPECT_FALSE(defaults.features.volumeRename);
    EXPECT_FALSE(defaults.features.extendedAccess);
    EXPECT_TRUE(defaults.features.extendedAttributes);
    EXPECT_EQ(defaults.mountOptions, Words { "memfs" });

    fused::DaemonOptions options
        = parseDaemonArguments({ "--extended-access", "memfs", "--case-insensitive", "--extended-access" });
    EXPECT_TRUE(options.features.caseInsensitive);
    EXPECT_FALSE(options.features.volumeRename);
    EXPECT_TRUE(options.features.extendedAccess);
    EXPECT_EQ(options.mountOptions, (Words { "extended-access", "case-insensitive", "memfs" }));
    EXPECT_TRUE(parseDaemonArguments({ "--volume-rename" }).features.volumeRename);
    fused::DaemonOptions plain = parseDaemonArguments({ "--no-xattr" });
    EXPECT_FALSE(plain.features.extendedAttributes);
    EXPECT_EQ(plain.mountOptions, Words { "memfs" });

    fused::DaemonOptions passthrough = parseDaemonArguments(
        { "--mount-point", "mnt", "passthrough:/srv/data", "--case-insensitive", "--volume-checks-access" });
    EXPECT_EQ(passthrough.fileSystem, "passthrough");
    EXPECT_EQ(passthrough.passthroughDirectory, "/srv/data");
    EXPECT_EQ(passthrough.mountPoint, std::filesystem::current_path() / "mnt");
    EXPECT_EQ(passthrough.mountOptions, (Words { "case-insensitive", "passthrough" }));
    EXPECT_TRUE(passthrough.volumeChecksAccess);
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
