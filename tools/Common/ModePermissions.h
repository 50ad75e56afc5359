// What a node's permission bits grant a caller, as Linux decides it without access control
// lists: uid 0 reads and writes anything and executes (searches) what is a directory or has any
// execute bit; any other caller gets the owner's bits when it owns the node, else the group's
// bits when the node's group is one of its groups, else the others' bits. The result holds the
// bits read 4, write 2 and execute 1 (R_OK, W_OK, X_OK on Linux and Darwin alike).
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <span>

namespace services {

inline std::uint32_t grantedByMode(std::uint32_t mode, std::uint32_t ownerUid, std::uint32_t ownerGid,
    std::uint32_t uid, std::span<const std::uint32_t> gids)
{
    if (uid == 0)
        return 4 | 2 | ((S_ISDIR(mode) || (mode & 0111)) ? 1 : 0);
    if (uid == ownerUid)
        return (mode >> 6) & 7;
    if (std::find(gids.begin(), gids.end(), ownerGid) != gids.end())
        return (mode >> 3) & 7;
    return mode & 7;
}

} // namespace services
