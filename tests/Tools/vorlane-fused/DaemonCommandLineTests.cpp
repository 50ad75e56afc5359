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
    EXPECT_EQ(options.mountOptions, Words{"memfs"});
}

TEST(DaemonCommandLine, flagsChooseTheFeaturesAndBecomeTheMountOptionsInTheirOrder)
{
    fused::DaemonOptions options =
        parseDaemonArguments({"--extended-access", "memfs", "--case-insensitive", "--extended-access"});
    EXPECT_TRUE(options.features.caseInsensitive);
    EXPECT_FALSE(options.features.volumeRename);
    EXPECT_TRUE(options.features.extendedAccess);
    EXPECT_EQ(options.mountOptions, (Words{"extended-access", "case-insensitive", "memfs"}));
    EXPECT_TRUE(parseDaemonArguments({"--volume-rename"}).features.volumeRename);
}

TEST(DaemonCommandLine, aCommandLineItCannotUnderstandIsAUsageError)
{
    for (const Words& arguments : std::vector<Words>{{"--verbose"}, {"passthrough:/srv"}, {"memfs", "memfs"}, {"-"}})
        EXPECT_THROW(parseDaemonArguments(arguments), fused::UsageError) << arguments.front();
}

} // namespace
