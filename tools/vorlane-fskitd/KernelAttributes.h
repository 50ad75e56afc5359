// The conversions between FSKit attributes and what the Linux kernel speaks through libfuse:
// a struct stat from an item's attributes, and an FSKit set-attributes request from a kernel
// setattr (struct stat plus FUSE_SET_ATTR_* bits). Pure functions, safe from any thread.
#pragma once

#include "Platform/FSKit/FSItemAttributeRequests.h"
#include "Platform/FSKit/FSItemAttributes.h"
#include "Platform/FSKit/FSStatFSResult.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdint>
#include <ctime>
#include <memory>

namespace host {

// The S_IF* bits of an FSKit item type; 0 for an unknown type.
mode_t typeBits(fskit::FSItemType type);

// st_ino is the file identifier − 1; st_mode the type bits | the permission bits; st_blocks
// counts 512-byte units of the allocated size when the attributes have one, else of the size
// (rounded up). Birth time has no place in a struct stat and is dropped.
struct stat statFrom(const fskit::FSItemAttributes& attributes);

// The attributes a kernel setattr asks to change: `toSet` holds FUSE_SET_ATTR_* bits, the values
// come from `wanted`; the *_NOW bits take `now`. Bits the volume has no attribute for are ignored.
std::shared_ptr<fskit::FSItemSetAttributesRequest> setAttributesRequest(
    const struct stat& wanted, int toSet, timespec now);

// The attributes of an item a caller makes in a directory with attributes `directory`: the caller's
// uid; the directory's gid when it is set-group-ID, else the caller's; `mode` (permission bits),
// with the set-group-ID bit added for a directory made in a set-group-ID directory.
std::shared_ptr<fskit::FSItemSetAttributesRequest> newItemAttributes(
    uid_t uid, gid_t gid, const struct stat& directory, mode_t mode, bool isDirectory);

// The volume's statistics as statfs reports them.
struct statvfs statvfsFrom(const fskit::FSStatFSResult& statistics, std::int64_t maximumNameLength);

} // namespace host
