// What the FUSE server asks of the file system it serves: one method per operation, taking node
// ids and values already checked at the edge, answering what the reply carries. Node ids are
// FUSE node ids; 1 is the root, which is never forgotten; every attribute answer has `ino` equal
// to the node's id. A failing operation throws foundation::POSIXError with a Darwin errno
// (POSIXErrorCode.h), the value the reply carries.
//
// Backends are called from several threads at once and guard their own state. Each node carries
// the count of lookups the volume holds on it: lookup adds one, forget takes away what the volume
// gives back; a backend may drop a node whose count reaches zero. Open answers a handle that the
// data operations and release name with the node; a handle of another node or of the other kind
// (file or directory) is refused with EBADF. Darwin flags are translated where a backend meets
// Linux (DarwinFlags.h).
#pragma once

#include "VLChannel/FuseKernel.h"
#include "vorlane-fused/AttributeChanges.h"
#include "vorlane-fused/DirectoryListing.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace fused {

// The lookups the volume holds: on how many nodes, and how many in all.
struct LookupTally {
    std::uint64_t nodes = 0;
    std::uint64_t lookups = 0;

    bool operator==(const LookupTally&) const = default;
};

// A file made and opened by create().
struct Created {
    vl::fuse_attr attributes;
    std::uint64_t handle;
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

    // Opens a node with Darwin open flags. The volume shares one handle among all its opens of
    // the node, whatever their modes, so a handle allows writing whenever the node's permissions
    // would let a later open write, even when this open asked for reading only.
    virtual std::uint64_t open(std::uint64_t node, std::uint32_t darwinFlags) = 0;
    // ENOTDIR when the node is not a directory.
    virtual std::uint64_t openDirectory(std::uint64_t node) = 0;
    virtual void release(std::uint64_t node, std::uint64_t handle, bool directory) = 0;
    // Fills `into` from `offset`; answers fewer bytes only at the end of the file.
    virtual std::size_t read(
        std::uint64_t node, std::uint64_t handle, std::uint64_t offset, std::span<std::byte> into)
        = 0;
    // Writes all of `data` at `offset` (at the end for a handle opened to append); a gap between
    // the old end and `offset` reads as zeros. Answers the bytes written.
    virtual std::size_t write(
        std::uint64_t node, std::uint64_t handle, std::uint64_t offset, std::span<const std::byte> data)
        = 0;
    // Makes the node's data, and unless `dataOnly` its attributes, durable.
    virtual void synchronize(std::uint64_t node, std::uint64_t handle, bool directory, bool dataOnly) = 0;
    // Adds the entries of an open directory that follow the cookie `offset` (0: from the start)
    // until the listing is full or the directory ends, "." and ".." first. Each entry carries its
    // node id, its type and the cookie that resumes after it, which stays valid while other
    // entries come and go.
    virtual void readDirectory(
        std::uint64_t node, std::uint64_t handle, std::uint64_t offset, DirectoryListing& listing)
        = 0;

    // Each of these makes a name in directory `parent` and counts one lookup of the node it
    // answers, as lookup does. Names are single components of 1 to 255 bytes; modes carry the
    // permission bits as they are to be, the umask already applied.
    //
    // Makes (with O_CREAT; O_EXCL refuses an existing name with EEXIST) and opens a regular file.
    virtual Created create(
        std::uint64_t parent, std::string_view name, std::uint32_t darwinFlags, std::uint32_t mode)
        = 0;
    virtual vl::fuse_attr createDirectory(std::uint64_t parent, std::string_view name, std::uint32_t mode)
        = 0;
    // A regular file, FIFO, socket, or character or block device, by the type bits of `mode`
    // (the server passes no other type); `rdev` is a Darwin device number (major in the top 8
    // bits, minor in the low 24).
    virtual vl::fuse_attr createNode(
        std::uint64_t parent, std::string_view name, std::uint32_t mode, std::uint32_t rdev)
        = 0;
    virtual vl::fuse_attr createSymbolicLink(
        std::uint64_t parent, std::string_view name, std::string_view target)
        = 0;
    // A new name for `node` (EPERM for a directory).
    virtual vl::fuse_attr link(std::uint64_t node, std::uint64_t parent, std::string_view name) = 0;
    // EINVAL when the node is not a symbolic link.
    virtual std::string readSymbolicLink(std::uint64_t node) = 0;

    // Removes a name: a directory's when `directory` (ENOTDIR otherwise; ENOTEMPTY unless it is
    // empty), any other's otherwise (EISDIR for a directory). A node whose last name goes while
    // it is open stays readable and writable through its handles until the last release.
    virtual void remove(std::uint64_t parent, std::string_view name, bool directory) = 0;
    // Renames with Darwin flags: RENAME_SWAP exchanges two existing names, RENAME_EXCL refuses
    // an existing new name (EEXIST), 0 replaces it as Linux's rename(2) does (EISDIR, ENOTDIR,
    // ENOTEMPTY with nothing changed; a name onto another of the same node changes nothing).
    // Node ids follow the renamed nodes; a directory never moves beneath itself (EINVAL).
    virtual void rename(std::uint64_t parent, std::string_view name, std::uint64_t newParent,
        std::string_view newName, std::uint32_t darwinFlags)
        = 0;

    // Extended attributes, with Linux's size convention: an empty `into` asks for the size the
    // answer needs, a buffer too small for it is ERANGE. A missing attribute is ENOATTR; an
    // attribute may hold an empty value, which is not a missing one. The list is the names,
    // each followed by a zero byte.
    virtual std::size_t xattr(std::uint64_t node, std::string_view name, std::span<std::byte> into) = 0;
    virtual std::size_t listXattrs(std::uint64_t node, std::span<std::byte> into) = 0;
    // Darwin flags: XATTR_CREATE refuses an existing attribute (EEXIST), XATTR_REPLACE a missing
    // one (ENOATTR).
    virtual void setXattr(std::uint64_t node, std::string_view name, std::span<const std::byte> value,
        std::uint32_t darwinFlags)
        = 0;
    virtual void removeXattr(std::uint64_t node, std::string_view name) = 0;
};

} // namespace fused
