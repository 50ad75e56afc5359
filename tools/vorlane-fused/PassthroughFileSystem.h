// A host directory served as the file system: each node is a file under the directory, known by
// its (st_dev, st_ino), which keeps one node id for the daemon's life (ids are handed out as files
// are first seen, by a lookup or a listing, and never reused). A node the volume holds a lookup of
// is held open by an O_PATH descriptor, so that it keeps its identity when renamed on the host,
// and leaves the table when the volume has forgotten every lookup (the root never does). Any other
// node is found again by the directory and name it was last seen under, provided it is still the
// same file there. Attributes come from the real file; changes go to the real file and never
// through a symbolic link. Linux errnos become Darwin's (posix::darwinErrnoFromLinux).
//
// Thread rules: the table has one lock, held only to find, add or drop entries; calls on a
// file run outside it on a node kept alive by its own reference, so a slow disk holds up no
// other request.
#pragma once

#include "Platform/OS/UnfairLock.h"
#include "vorlane-fused/Bytes.h"
#include "vorlane-fused/FileSystemBackend.h"

#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

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
    // Owner and group first (chown clears set-id bits; an owner or group the file already has is
    // left alone, so that a daemon that is not root can apply it), then mode, size, times. A
    // symbolic link's mode is ignored, as Linux keeps none; a size applies to regular files only.
    // Change, birth and backup times and FATTR_FH are ignored: Linux sets the change time itself
    // and keeps no settable birth or backup time. Darwin file flags other than none are refused
    // (ENOTSUP). A failure part way leaves the changes made before it.
    vl::fuse_attr setAttributes(std::uint64_t node, const AttributeChanges& changes) override;
    LookupTally lookupTally() override;

    // A regular file is opened for reading and writing when Linux allows it, else as asked, so
    // that the volume's one shared handle serves a later open for writing. A symbolic link opens
    // only with O_SYMLINK, as the link itself (no data can be read or written through it).
    // O_SHLOCK / O_EXLOCK take their lock without waiting (EAGAIN when it is held), since a
    // waiting worker could hold up the whole session.
    std::uint64_t open(std::uint64_t node, std::uint32_t darwinFlags) override;
    std::uint64_t openDirectory(std::uint64_t node) override;
    void release(std::uint64_t node, std::uint64_t handle, bool directory) override;
    std::size_t read(
        std::uint64_t node, std::uint64_t handle, std::uint64_t offset, std::span<std::byte> into) override;
    std::size_t write(std::uint64_t node, std::uint64_t handle, std::uint64_t offset,
        std::span<const std::byte> data) override;
    void synchronize(std::uint64_t node, std::uint64_t handle, bool directory, bool dataOnly) override;
    // The cookies are the directory stream's own offsets (d_off); entries get their node ids
    // without a lookup being counted.
    void readDirectory(
        std::uint64_t node, std::uint64_t handle, std::uint64_t offset, DirectoryListing& listing) override;

    // Made with the calls that never follow a symbolic link, then given exactly the mode asked
    // (the daemon's umask aside; a set-group-ID bit that a directory inherits stays). A device's
    // number is the Darwin one translated.
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
    // Through the node's /proc path with the calls that follow it: Linux takes them to the node
    // itself, a symbolic link included (where the l* forms would act on the /proc link). Linux's
    // own rules stand, such as no user.* attributes on a symbolic link (EPERM).
    std::size_t xattr(std::uint64_t node, std::string_view name, std::span<std::byte> into) override;
    std::size_t listXattrs(std::uint64_t node, std::span<std::byte> into) override;
    void setXattr(std::uint64_t node, std::string_view name, std::span<const std::byte> value,
        std::uint32_t darwinFlags) override;
    void removeXattr(std::uint64_t node, std::string_view name) override;

private:
    using Identity = std::pair<dev_t, ino_t>;

    // A file the table knows, held by an O_PATH descriptor (it names the file without opening it
    // for reading or writing).
    struct Node {
        explicit Node(int descriptor)
            : descriptor(descriptor)
        {
        }
        ~Node();
        Node(const Node&) = delete;
        Node& operator=(const Node&) = delete;

        const int descriptor;
        // Set before the node is published.
        Identity identity {};
        // Read and written under the table's lock only.
        std::uint64_t lookups = 0;
    };

    // An open handle: a descriptor opened for I/O, and the node it belongs to.
    struct OpenFile {
        OpenFile(std::uint64_t id, std::shared_ptr<Node> node, int descriptor, bool directory)
            : id(id)
            , node(std::move(node))
            , descriptor(descriptor)
            , directory(directory)
        {
        }
        ~OpenFile();
        OpenFile(const OpenFile&) = delete;
        OpenFile& operator=(const OpenFile&) = delete;

        const std::uint64_t id;
        const std::shared_ptr<Node> node;
        const int descriptor;
        const bool directory;

        // A directory's stream: entries read ahead from Linux and not yet listed, and the cookie
        // of the last entry listed. A READDIR at that cookie goes on from the buffer; any other
        // cookie seeks the stream first.
        os::UnfairLock streamLock;
        Bytes buffered VL_GUARDED_BY(streamLock);
        std::size_t next VL_GUARDED_BY(streamLock) = 0;
        std::uint64_t position VL_GUARDED_BY(streamLock) = 0;
        bool positioned VL_GUARDED_BY(streamLock) = false;
    };

    // Where a node was last seen.
    struct Place {
        std::uint64_t parent = 0;
        std::string name;
        Identity identity {};
    };

    static constexpr int maximumDepth = 4096;

    // A node by its id: the held one, or one found again at its place (ENOENT when gone).
    std::shared_ptr<Node> existing(std::uint64_t node);
    std::shared_ptr<Node> resolve(std::uint64_t node, int depth);
    // Registers the file that `descriptor` (O_PATH, adopted) names, found as `name` in `parent`,
    // with one lookup; answers its attributes.
    vl::fuse_attr adopt(std::uint64_t parent, std::string_view name, int descriptor);
    // The id of a file, given out now if it has none; notes where it was seen.
    std::uint64_t idFor(Identity identity, std::uint64_t parent, std::string_view name) VL_REQUIRES(lock);
    std::shared_ptr<OpenFile> handleOf(std::uint64_t node, std::uint64_t handle, bool directory);
    std::uint64_t addHandle(std::uint64_t node, std::shared_ptr<Node> target, int descriptor, bool directory);

    os::UnfairLock lock;
    std::map<std::uint64_t, std::shared_ptr<Node>> nodes VL_GUARDED_BY(lock);
    std::map<Identity, std::uint64_t> ids VL_GUARDED_BY(lock);
    std::map<std::uint64_t, Place> places VL_GUARDED_BY(lock);
    std::map<std::uint64_t, std::shared_ptr<OpenFile>> handles VL_GUARDED_BY(lock);
    std::uint64_t nextNode VL_GUARDED_BY(lock) = 2;
    std::uint64_t nextHandle VL_GUARDED_BY(lock) = 1;
};

} // namespace fused
