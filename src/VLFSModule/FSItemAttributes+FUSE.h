// The conversions between FUSE attributes and FSKit's: attributes a daemon reports become an
// FSItemAttributes, a set-attributes request becomes a fuse_setattr_in, and a directory entry's
// type becomes an FSItemType. Stateless; the caller guards the objects it passes in.
//
// A FUSE inode number n is the FSKit file identifier n + 1 (the FUSE root 1 is FSKit's root 2).
// The inode number a daemon sends for "unknown" (0xFFFFFFFF) and the one that has no successor
// (2^64 - 1) both become the invalid identifier 0.
#pragma once

#include "Platform/FSKit/FSItem.h"
#include "Platform/FSKit/FSItemAttributeRequests.h"
#include "Platform/FSKit/FSItemAttributes.h"
#include "VLChannel/FuseKernel.h"

#include <cstdint>

namespace vl {

// The file identifier of the node with this FUSE node id or inode number.
fskit::FSItem::Identifier fileIDFromFUSE(std::uint64_t node);
// The FUSE node id that requests about the item with this file identifier address.
std::uint64_t nodeIDOf(fskit::FSItem::Identifier fileID);

// Overwrites `attributes` with what the daemon reported; keeps the parent, allocated size,
// backup and added times as they were.
void apply(fskit::FSItemAttributes& attributes, const fuse_attr& reported);

// Copies every attribute the request sets and FUSE can carry into `in`, ORs the matching bits
// into `in.valid` and marks those attributes consumed; leaves every other field of `in` alone.
// A time whose nanoseconds do not fit the protocol's 32 bits fails with EINVAL, before anything
// is copied or consumed.
void toFUSE(fskit::FSItemSetAttributesRequest& request, fuse_setattr_in& in);

// The item type of a fuse_dirent `type` (a DT_* value); unknown values are FSItemType::unknown.
fskit::FSItemType itemTypeFrom(std::uint32_t direntType);

} // namespace vl
