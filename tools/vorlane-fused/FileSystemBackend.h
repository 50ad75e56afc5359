// What the FUSE server asks of the file system it serves: one method per operation, taking node
// ids and values already checked at the edge, answering what the reply carries. Node ids are
// FUSE node ids; 1 is the root, which is never forgotten; every attribute answer has `ino` equal
// to the node's id. A failing operation throws foundation::POSIXError with a Darwin errno
// (POSIXErrorCode.h), the value the reply carries.
//
// Backends are called from several threads at once and guard their own state. Each node carries
// the count of lookups the volume holds on it: lookup adds one, forget takes away what the volume
// gives back; a backend may drop a node whose count reaches zero. Later operations take the same
// shape: those that make a node (create, mkdir, mknod, symlink, link) count one lookup as lookup
// does, open answers a handle that read, write and release name, and Darwin flags are translated
// where a backend meets Linux (DarwinFlags.h).
#pragma once

#include "vorlane-fused/AttributeChanges.h"
#include "VLChannel/FuseKernel.h"

#include <cstdint>
#include <string_view>

namespace fused {

// The lookups the volume holds: on how many nodes, and how many in all.
struct LookupTally {
    std::uint64_t nodes = 0;
    std::uint64_t lookups = 0;

    bool operator==(const LookupTally&) const = default;
};

class FileSystemBackend {
public:
    virtual ~FileSystemBackend() = default;

    virtual vl::fuse_kstatfs statistics() = 0;
    virtual vl::fuse_attr attributes(std::uint64_t node) = 0;
    // Finds `name` in directory `parent` and counts one lookup of the node found.
    virtual vl::fuse_attr lookup(std::uint64_t parent, std::string_view name) = 0;
    // Gives back `lookups` lookups of `node` (no more than it holds). An unknown node is ignored:
    // FORGET has no reply to carry an error.
    virtual void forget(std::uint64_t node, std::uint64_t lookups) = 0;
    // Applies the changes and answers the attributes afterwards.
    virtual vl::fuse_attr setAttributes(std::uint64_t node, const AttributeChanges& changes) = 0;
    virtual LookupTally lookupTally() = 0;
};

} // namespace fused
