// A file system held in memory: a tree of directories and files under root node 1.
//
// Node ids are never reused. Names compare byte for byte, or without regard to ASCII case when
// the file system is case-insensitive (the spelling given at creation is kept). Errors are
// Darwin errnos. Every method takes the one internal lock, so the file system may be shared
// between threads; nodes stay in the tree whatever their lookup counts.
#pragma once

#include "vorlane-fused/FileSystemBackend.h"
#include "Platform/OS/UnfairLock.h"

#include <map>
#include <string>

namespace fused {

class MemoryFileSystem : public FileSystemBackend {
public:
    // What the file system says it can hold: files larger than this are refused (EFBIG).
    static constexpr std::uint64_t capacity = std::uint64_t{1} << 30;

    explicit MemoryFileSystem(bool caseInsensitive = false);

    vl::fuse_kstatfs statistics() override;
    vl::fuse_attr attributes(std::uint64_t node) override;
    vl::fuse_attr lookup(std::uint64_t parent, std::string_view name) override;
    void forget(std::uint64_t node, std::uint64_t lookups) override;
    // A failing request changes nothing. Any change sets the change time to now unless the
    // request gives one; a new size sets the modification time to now unless it gives one.
    vl::fuse_attr setAttributes(std::uint64_t node, const AttributeChanges& changes) override;
    LookupTally lookupTally() override;

    // Creates a directory or a regular file; returns its node id. EEXIST when the name is taken,
    // ENOTDIR when `parent` is not a directory, ENOENT when it does not exist.
    std::uint64_t makeDirectory(std::uint64_t parent, std::string_view name, std::uint32_t permissions);
    std::uint64_t makeFile(std::uint64_t parent, std::string_view name, std::uint32_t permissions, std::string contents);

    std::uint64_t lookupCount(std::uint64_t node);

private:
    struct Node {
        vl::fuse_attr attributes{};
        std::string contents;
        std::map<std::string, std::uint64_t> children;
        std::uint64_t lookups = 0;
    };

    std::string key(std::string_view name) const;
    Node& existing(std::uint64_t node) VL_REQUIRES(lock);
    std::uint64_t insert(std::uint64_t parent, std::string_view name, std::uint32_t mode, std::string contents);

    const bool caseInsensitive;
    os::UnfairLock lock;
    std::map<std::uint64_t, Node> nodes VL_GUARDED_BY(lock);
    std::uint64_t nextNode VL_GUARDED_BY(lock) = 2;
};

} // namespace fused
