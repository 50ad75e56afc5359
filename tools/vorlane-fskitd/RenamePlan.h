// How the host carries out a Linux rename (rename(2), renameat2 flags) with the volume's two forms
// of rename: onto a free name only (Darwin RENAME_EXCL) and exchanging two names (RENAME_SWAP).
//
// A plain rename onto an existing name is a replacement: the two names are exchanged and the item
// swapped out is then removed from the source name; if that removal fails, the names are exchanged
// back and the rename fails with the removal's error. So the destination name always names either
// the old or the new item, as with Linux's atomic rename, while another process may, between the
// steps, find the old target under the source name (and, after a failed removal, briefly see the
// two names exchanged). Pure functions.
#pragma once

#include <optional>

namespace host {

enum class RenameAction {
    refuse, // fail with `linuxErrno`, changing nothing
    nothing, // succeed, changing nothing (both names are links of one item)
    move, // rename onto a free name (EEXIST from the volume when it is not)
    exchange, // exchange the two names
    replace, // exchange, then remove the item swapped out (exchange back if that fails)
};

struct RenameDecision {
    RenameAction action;
    int linuxErrno = 0;

    friend bool operator==(const RenameDecision&, const RenameDecision&) = default;
};

// What holds the destination name.
struct RenameTarget {
    bool isDirectory;
    bool isSource; // the same item as the source (a hard link, or the same name)
};

// Whether the decision needs to know what holds the destination name.
bool renameNeedsTarget(unsigned int linuxFlags);

// The action for `linuxFlags` (RENAME_NOREPLACE, RENAME_EXCHANGE, RENAME_WHITEOUT or 0) on a
// source that is or is not a directory, with the destination held by `target` or free.
RenameDecision decideRename(
    unsigned int linuxFlags, bool sourceIsDirectory, std::optional<RenameTarget> target);

} // namespace host
