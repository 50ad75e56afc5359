#include "vorlane-fused/DaemonCommandLine.h"

#include <gtest/gtest.h>

namespace {

using fused::parseDaemonArguments;
using Words = std::vector<std::string>;

TEST(DaemonCommandLine, withoutArgumentsTheDaemonServesMemfsAnnouncingNothing)
{
    fused::DaemonOptions options = parseDaemonArguments({});
    EXPECT_EQ(options.fileSystem, "memfs");
    EXPECT_FALSE(options.features.caseInsensitive);
    EXPECT_FALSE(options.features.volumeRename);
    EXPECT_FALSE(options.features.extendedAccess);
    EXPECT_EQ(options.mountOptions, Words { "memfs" });
}

TEST(DaemonCommandLine, flagsChooseTheFeaturesAndBecomeTheMountOptionsInTheirOrder)
{
    fused::DaemonOptions options
        = parseDaemonArguments({ "--extended-access", "memfs", "--case-insensitive", "--extended-access" });
    EXPECT_TRUE(options.features.caseInsensitive);
    EXPECT_FALSE(options.features.volumeRename);
    EXPECT_TRUE(options.features.extendedAccess);
    EXPECT_EQ(options.mountOptions, (Words { "extended-access", "case-insensitive", "memfs" }));
    EXPECT_TRUE(parseDaemonArguments({ "--volume-rename" }).features.volumeRename);
    EXPECT_TRUE(options.features.extendedAttributes);
    fused::DaemonOptions plain = parseDaemonArguments({ "--no-xattr" });
    EXPECT_FALSE(plain.features.extendedAttributes);
    EXPECT_EQ(plain.mountOptions, Words { "memfs" });
}

TEST(DaemonCommandLine, passthroughServesADirectoryAndTheMountPointIsKeptBothMadeAbsolute)
{
    fused::DaemonOptions options = parseDaemonArguments(
        { "--mount-point", "mnt", "passthrough:/srv/data", "--case-insensitive", "--volume-checks-access" });
    EXPECT_EQ(options.fileSystem, "passthrough");
    EXPECT_EQ(options.passthroughDirectory, "/srv/data");
    EXPECT_EQ(options.mountPoint, std::filesystem::current_path() / "mnt");
    EXPECT_EQ(options.mountOptions, (Words { "case-insensitive", "passthrough" }));
    EXPECT_TRUE(options.volumeChecksAccess);
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
