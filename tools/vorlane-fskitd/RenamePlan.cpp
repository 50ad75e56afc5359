#include "vorlane-fskitd/RenamePlan.h"

#include <cstdio>

#include <cerrno>

namespace host {

bool renameNeedsTarget(unsigned int linuxFlags)
{
    return (linuxFlags & RENAME_NOREPLACE) == 0;
}

RenameDecision decideRename(
    unsigned int linuxFlags, bool sourceIsDirectory, std::optional<RenameTarget> target)
{
    constexpr unsigned int known = RENAME_NOREPLACE | RENAME_EXCHANGE | RENAME_WHITEOUT;
    // Whiteouts belong to overlay file systems; the volume has no such entry.
    if ((linuxFlags & ~known) != 0 || (linuxFlags & RENAME_WHITEOUT) != 0
        || linuxFlags == (RENAME_NOREPLACE | RENAME_EXCHANGE))
        return { RenameAction::refuse, EINVAL };
    if (linuxFlags == RENAME_NOREPLACE)
        return { RenameAction::move };
    if (linuxFlags == RENAME_EXCHANGE) {
        if (!target)
            return { RenameAction::refuse, ENOENT };
        return { target->isSource ? RenameAction::nothing : RenameAction::exchange };
    }
    if (!target)
        return { RenameAction::move };
    if (target->isSource)
        return { RenameAction::nothing };
    if (sourceIsDirectory && !target->isDirectory)
        return { RenameAction::refuse, ENOTDIR };
    if (!sourceIsDirectory && target->isDirectory)
        return { RenameAction::refuse, EISDIR };
    return { RenameAction::replace };
}

} // namespace host
