#include "vorlane-fskitd/RenamePlan.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>

namespace {

using host::RenameAction;
using host::RenameDecision;
using host::RenameTarget;

TEST(RenamePlan, LinuxRenameFlagsAndWhatHoldsTheDestinationDecideTheVolumesForm)
{
    const std::optional<RenameTarget> free;
    const RenameTarget file { false, false }, directory { true, false }, sameItem { false, true };
    struct Case {
        unsigned int flags;
        bool sourceIsDirectory;
        std::optional<RenameTarget> target;
        RenameDecision decision;
    };
    const Case cases[] = {
        { 0, false, free, { RenameAction::move } },
        { 0, false, file, { RenameAction::replace } },
        { 0, true, directory, { RenameAction::replace } },
        { 0, false, directory, { RenameAction::refuse, EISDIR } },
        { 0, true, file, { RenameAction::refuse, ENOTDIR } },
        { 0, false, sameItem, { RenameAction::nothing } },
        { RENAME_NOREPLACE, false, free, { RenameAction::move } },
        { RENAME_NOREPLACE, true, file, { RenameAction::move } }, // the volume answers EEXIST
        { RENAME_EXCHANGE, false, directory, { RenameAction::exchange } },
        { RENAME_EXCHANGE, true, file, { RenameAction::exchange } },
        { RENAME_EXCHANGE, false, sameItem, { RenameAction::nothing } },
        { RENAME_EXCHANGE, false, free, { RenameAction::refuse, ENOENT } },
        { RENAME_WHITEOUT, false, free, { RenameAction::refuse, EINVAL } },
        { RENAME_NOREPLACE | RENAME_EXCHANGE, false, file, { RenameAction::refuse, EINVAL } },
        { 1u << 7, false, file, { RenameAction::refuse, EINVAL } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
            << "flags " << c.flags << (c.sourceIsDirectory ? " directory" : " file")
            << (c.target ? (c.target->isDirectory ? " onto directory" : " onto file") : " onto free"));
        EXPECT_EQ(host::decideRename(c.flags, c.sourceIsDirectory, c.target), c.decision);
    }
    EXPECT_FALSE(host::renameNeedsTarget(RENAME_NOREPLACE));
    EXPECT_TRUE(host::renameNeedsTarget(0) && host::renameNeedsTarget(RENAME_EXCHANGE));
}

} // namespace
