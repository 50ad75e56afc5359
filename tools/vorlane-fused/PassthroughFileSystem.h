// A host directory served as the file system: each node is a file under the directory, known by
// its (st_dev, st_ino) and held open by an O_PATH descriptor, so that it keeps its identity when
// renamed on the host. The root is node 1; other ids are handed out in lookup order and never
// reused. A node leaves the table when the volume has forgotten every lookup of it (the root
// never does). Attributes come from the real file; changes go to the real file and never through
// a symbolic link. Linux errnos become Darwin's (posix::darwinErrnoFromLinux).
//
// Thread rules: the table has one lock, held only to find, add or drop entries; calls on a
// file run outside it on a node kept alive by its own reference, so a slow disk holds up no
// other request.
#pragma once

#include "vorlane-fused/FileSystemBackend.h"
#include "Platform/OS/UnfairLock.h"

#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <utility>

namespace fused {

// A passthrough directory that cannot be served; the text says why, naming the directory.
class BackendError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class PassthroughFileSystem final : public FileSystemBackend {
public:
    // Throws BackendError when `directory` does not exist, is not a directory or cannot be opened.
    explicit PassthroughFileSystem(const std::filesystem::path& directory);

    vl::fuse_kstatfs statistics() override;
    vl::fuse_attr attributes(std::uint64_t node) override;
    // Names are single components: "/" in a name, "." and ".." are refused (EINVAL).
    vl::fuse_attr lookup(std::uint64_t parent, std::string_view name) override;
    void forget(std::uint64_t node, std::uint64_t lookups) override;
    // Owner and group first (chown clears set-id bits), then mode, size, times. A symbolic link's
    // mode cannot change (ENOTSUP, as Linux refuses it); a size applies to regular files only.
    // Change, birth and backup times and FATTR_FH are ignored: Linux sets the change time itself
    // and keeps no settable birth or backup time. Darwin file flags other than none are refused
    // (ENOTSUP). A failure part way leaves the changes made before it.
    vl::fuse_attr setAttributes(std::uint64_t node, const AttributeChanges& changes) override;
    LookupTally lookupTally() override;

private:
    struct Node;
    using Identity = std::pair<dev_t, ino_t>;

    std::shared_ptr<Node> existing(std::uint64_t node);

    os::UnfairLock lock;
    std::map<std::uint64_t, std::shared_ptr<Node>> nodes VL_GUARDED_BY(lock);
    std::map<Identity, std::uint64_t> ids VL_GUARDED_BY(lock);
    std::uint64_t nextNode VL_GUARDED_BY(lock) = 2;
};

} // namespace fused
