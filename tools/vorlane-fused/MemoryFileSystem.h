// A file system held in memory: a tree of directories and files under root node 1.
//
// Node ids and handles are never reused. Names compare byte for byte, or without regard to ASCII
// case when the file system is case-insensitive (the spelling given at creation is kept and
// listed). Errors are Darwin errnos. Every method takes the one internal lock, so the file system
// may be shared between threads. A node stays while a name links it, a handle has it open or the
// volume holds a lookup of it; the root always stays.
#pragma once

#include "Platform/OS/UnfairLock.h"
#include "vorlane-fused/FileSystemBackend.h"

#include <map>
#include <string>

namespace fused {

class MemoryFileSystem : public FileSystemBackend {
public:
    // What the file system says it can hold: files larger than this are refused (EFBIG).
    static constexpr std::uint64_t capacity = std::uint64_t { 1 } << 30;

    explicit MemoryFileSystem(bool caseInsensitive = false);

    vl::fuse_kstatfs statistics() override;
    vl::fuse_attr attributes(std::uint64_t node) override;
    vl::fuse_attr lookup(std::uint64_t parent, std::string_view name) override;
    void forget(std::uint64_t node, std::uint64_t lookups) override;
    // A failing request changes nothing. Any change sets the change time to now unless the
    // request gives one; a new size sets the modification time to now unless it gives one.
    vl::fuse_attr setAttributes(std::uint64_t node, const AttributeChanges& changes) override;
    LookupTally lookupTally() override;

    // Any handle reads and writes (the volume's permissions decide); a symbolic link opens only
    // with O_SYMLINK (ELOOP otherwise); O_TRUNC empties a regular file.
    std::uint64_t open(std::uint64_t node, std::uint32_t darwinFlags) override;
    std::uint64_t openDirectory(std::uint64_t node) override;
    void release(std::uint64_t node, std::uint64_t handle, bool directory) override;
    std::size_t read(
        std::uint64_t node, std::uint64_t handle, std::uint64_t offset, std::span<std::byte> into) override;
    std::size_t write(std::uint64_t node, std::uint64_t handle, std::uint64_t offset,
        std::span<const std::byte> data) override;
    // Memory is as durable as it gets: checks the handle only.
    void synchronize(std::uint64_t node, std::uint64_t handle, bool directory, bool dataOnly) override;
    // Entries in the order they were made; the cookie of an entry is its sequence number.
    void readDirectory(
        std::uint64_t node, std::uint64_t handle, std::uint64_t offset, DirectoryListing& listing) override;

    Created create(
        std::uint64_t parent, std::string_view name, std::uint32_t darwinFlags, std::uint32_t mode) override;
    vl::fuse_attr createDirectory(std::uint64_t parent, std::string_view name, std::uint32_t mode) override;
    vl::fuse_attr createNode(
        std::uint64_t parent, std::string_view name, std::uint32_t mode, std::uint32_t rdev) override;
    vl::fuse_attr createSymbolicLink(
        std::uint64_t parent, std::string_view name, std::string_view target) override;
    vl::fuse_attr link(std::uint64_t node, std::uint64_t parent, std::string_view name) override;
    std::string readSymbolicLink(std::uint64_t node) override;
    void remove(std::uint64_t parent, std::string_view name, bool directory) override;
    void rename(std::uint64_t parent, std::string_view name, std::uint64_t newParent,
        std::string_view newName, std::uint32_t darwinFlags) override;
    // Values of up to 64 KiB (E2BIG beyond), listed in name order.
    std::size_t xattr(std::uint64_t node, std::string_view name, std::span<std::byte> into) override;
    std::size_t listXattrs(std::uint64_t node, std::span<std::byte> into) override;
    void setXattr(std::uint64_t node, std::string_view name, std::span<const std::byte> value,
        std::uint32_t darwinFlags) override;
    void removeXattr(std::uint64_t node, std::string_view name) override;

    // Creates a directory or a regular file without counting a lookup; returns its node id.
    // EEXIST when the name is taken, ENOTDIR when `parent` is not a directory, ENOENT when it
    // does not exist.
    std::uint64_t makeDirectory(std::uint64_t parent, std::string_view name, std::uint32_t permissions);
    std::uint64_t makeFile(
        std::uint64_t parent, std::string_view name, std::uint32_t permissions, std::string contents);

    std::uint64_t lookupCount(std::uint64_t node);

private:
    struct Entry {
        std::string name; // as spelt at creation
        std::uint64_t node;
    };
    struct Node {
        vl::fuse_attr attributes {};
        // A regular file's data or a symbolic link's target.
        std::string contents;
        // A directory's entries: the comparison key of each name gives its sequence number, the
        // sequence number its entry. Sequence numbers grow with every insertion, so a listing
        // that resumes after one never repeats or skips an entry that stays.
        std::map<std::string, std::uint64_t> children;
        std::map<std::uint64_t, Entry> entries;
        std::map<std::string, std::string> xattrs;
        std::uint64_t parent = 0; // of a directory
        std::uint64_t lookups = 0;
        std::uint64_t opens = 0;
    };
    struct Handle {
        std::uint64_t node;
        std::uint32_t darwinFlags;
        bool directory;
    };

    std::string key(std::string_view name) const;
    Node& existing(std::uint64_t node) VL_REQUIRES(lock);
    Handle& handleOf(std::uint64_t node, std::uint64_t handle, bool directory) VL_REQUIRES(lock);
    std::uint64_t addHandle(std::uint64_t node, std::uint32_t darwinFlags, bool directory) VL_REQUIRES(lock);
    // Takes the entry with sequence number `sequence` out of directory `parent`, and the link it
    // gave its node.
    void removeEntry(std::uint64_t parent, std::uint64_t sequence) VL_REQUIRES(lock);
    // Whether directory `node` is `ancestor` or lies beneath it.
    bool isWithin(std::uint64_t node, std::uint64_t ancestor) VL_REQUIRES(lock);
    void touch(Node& node, bool modified) VL_REQUIRES(lock);
    // Drops the node when nothing keeps it any more (no name, handle or lookup).
    void dropIfUnused(std::uint64_t node) VL_REQUIRES(lock);
    void resize(Node& file, std::uint64_t size, timespec changed) VL_REQUIRES(lock);
    // Adds an entry for `node` to directory `parent` (EEXIST when the name is taken).
    void addEntry(std::uint64_t parent, std::string_view name, std::uint64_t node) VL_REQUIRES(lock);
    std::uint64_t insert(
        std::uint64_t parent, std::string_view name, std::uint32_t mode, std::string contents);
    std::uint64_t insertLocked(std::uint64_t parent, std::string_view name, std::uint32_t mode,
        std::string contents) VL_REQUIRES(lock);

    const bool caseInsensitive;
    os::UnfairLock lock;
    std::map<std::uint64_t, Node> nodes VL_GUARDED_BY(lock);
    std::map<std::uint64_t, Handle> handles VL_GUARDED_BY(lock);
    std::uint64_t nextNode VL_GUARDED_BY(lock) = 2;
    std::uint64_t nextHandle VL_GUARDED_BY(lock) = 1;
    // "." and ".." take the cookies 1 and 2.
    std::uint64_t nextSequence VL_GUARDED_BY(lock) = 3;
};

} // namespace fused
