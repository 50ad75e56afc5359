// A file system held in memory: a tree of directories and files under root node 1.
//
// Node ids are never reused. Names compare byte for byte, or without regard to ASCII case when
// the file system is case-insensitive (the spelling given at creation is kept). Every method
// takes the one internal lock, so the file system may be shared between threads.
#pragma once

#include "vorlane-fused/FileSystemBackend.h"

#include <map>
#include <mutex>
#include <string>

namespace fused {

class MemoryFileSystem final : public FileSystemBackend {
public:
    explicit MemoryFileSystem(bool caseInsensitive = false);

    vl::fuse_kstatfs statistics() override;
    vl::fuse_attr attributes(std::uint64_t node) override;
    vl::fuse_attr lookup(std::uint64_t parent, std::string_view name) override;

    // Creates a directory or a regular file; returns its node id. EEXIST when the name is taken,
    // ENOTDIR when `parent` is not a directory, ENOENT when it does not exist.
    std::uint64_t makeDirectory(std::uint64_t parent, std::string_view name, std::uint32_t permissions);
    std::uint64_t makeFile(std::uint64_t parent, std::string_view name, std::uint32_t permissions, std::string contents);

    std::uint64_t lookupCount(std::uint64_t node) const;

private:
    struct Node {
        vl::fuse_attr attributes{};
        std::string contents;
        std::map<std::string, std::uint64_t> children;
        std::uint64_t lookups = 0;
    };

    std::string key(std::string_view name) const;
    Node& existing(std::uint64_t node);
    std::uint64_t insert(std::uint64_t parent, std::string_view name, std::uint32_t mode, std::string contents);

    const bool caseInsensitive;
    mutable std::mutex mutex;
    std::map<std::uint64_t, Node> nodes;
    std::uint64_t nextNode = 2;
};

} // namespace fused
