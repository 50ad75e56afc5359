// The Linux kernel's requests (libfuse3's low-level operations) as the volume's FSKit operations.
//
// Each request is handed to the volume and answered from the operation's reply handler, on
// whatever thread that runs; no callback waits for the volume, so libfuse's one loop thread never
// holds up a request behind another. Inodes are resolved through the node table, which counts
// the lookups the kernel holds; the kernel's file handles point at the OpenFiles handles, whose
// opens and closes keep the volume's per-item open count. Requests this host does not serve are
// left to libfuse (ENOSYS). The implementation is split by operation group
// (KernelOperations+*.cpp). The object must outlive every request it has handed to the volume
// (see waitUntilAnswered).
#pragma once

#include "Platform/FSKit/FSVolume.h"
#include "vorlane-fskitd/CapabilityAbsence.h"
#include "vorlane-fskitd/NodeTable.h"
#include "vorlane-fskitd/OpenFiles.h"

#include <fuse_lowlevel.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <span>
#include <string>

namespace host {

class KernelOperations {
public:
    // The kernel keeps names and attributes for a second. Changes made through the mount are
    // seen at once whatever the timeouts, because the kernel updates or drops what it has cached
    // on each one; a change made beside the mount (in a passthrough daemon's directory) is seen
    // within the second. Without caching, every stat and every step of a path walk costs two
    // round trips through the whole stack (about a hundred times a cached stat). Failed lookups
    // are never cached, so a name made beside the mount is found at once.
    static constexpr double entryTimeout = 1;
    static constexpr double attributeTimeout = 1;
    // The largest read or write the kernel sends in one request: the volume's I/O size, so that a
    // 1 MiB write(2) reaches the volume as one call.
    static constexpr unsigned maximumTransfer = 1048576;
    // The extended attribute of the root that holds the volume's name; setting it renames the volume.
    static constexpr const char* volumeNameAttribute = "vorlane.volume-name";

    KernelOperations(std::shared_ptr<fskit::FSVolume> volume, std::shared_ptr<NodeTable> nodes);
    KernelOperations(const KernelOperations&) = delete;
    KernelOperations& operator=(const KernelOperations&) = delete;

    // The operations for fuse_session_new; their userdata must be this object.
    static const fuse_lowlevel_ops& lowlevelOperations();

    // Blocks until every request handed to the volume has been answered, at most `limit`; false
    // when some are still waiting.
    bool waitUntilAnswered(std::chrono::milliseconds limit);

    // Closes every handle the kernel has not released; for after the session has ended, once
    // every request is answered (the kernel releases nothing more then).
    void closeUnreleased();

    NodeTable& nodes() { return *table; }

private:
    class Pending;
    using PendingRequest = std::shared_ptr<Pending>;
    using ItemPointer = NodeTable::ItemPointer;
    using Attributes = std::shared_ptr<fskit::FSItemAttributes>;
    // An item found or made for the kernel or the host, admitted in the node table, with its
    // fresh attributes; or the error, and then nothing is admitted.
    using Found = std::function<void(ItemPointer item, Attributes attributes, std::exception_ptr error)>;
    // The same with only the item's kind, for operations that need no more.
    using FoundKind = std::function<void(ItemPointer item, bool directory, std::exception_ptr error)>;
    // An item looked up and admitted, or the lookup's error.
    using Admitted = std::function<void(ItemPointer item, std::exception_ptr error)>;
    // Gives the kernel an open file handle; false when the kernel did not take it.
    using HandOver = std::function<bool(Pending& request, const fuse_file_info& file)>;
    using SetAttributes = std::shared_ptr<fskit::FSItemSetAttributesRequest>;
    // Makes `name` in `directory` with `attributes` through one of the volume's create operations.
    using Maker = std::function<void(ItemPointer directory, fskit::FSFileName name, SetAttributes attributes,
        fskit::FSVolume::ItemAndNameReply reply)>;

    static fskit::FSFileName nameOf(const char* name);
    static std::shared_ptr<fskit::FSItemGetAttributesRequest> everyAttribute();
    // The FSKit open modes of a Linux open's access mode.
    static fskit::FSVolumeOpenModes modesOf(int flags);

    PendingRequest pending(fuse_req_t request);
    void answered();
    // The item the kernel knows by `inode`; answers ESTALE and returns null when there is none.
    ItemPointer itemOrStale(fuse_req_t request, fuse_ino_t inode);

    // Lookups and attributes (KernelOperations.cpp).
    void init(fuse_conn_info* connection);
    void destroy();
    void lookup(fuse_req_t request, fuse_ino_t parent, const char* name);
    // Looks `name` up in `directory` and admits the item found (retrying when it raced its reclaim).
    void find(const ItemPointer& directory, const fskit::FSFileName& name, Found found);
    void findKind(const ItemPointer& directory, const fskit::FSFileName& name, FoundKind found);
    void lookUp(const ItemPointer& directory, const fskit::FSFileName& name, Admitted admitted);
    // Fetches the attributes of an admitted item; on failure gives its lookup back.
    void admitted(const ItemPointer& item, Found found);
    // Answers with the entry of an admitted item; the lookup is given back when the kernel does
    // not take it.
    void answerEntry(
        const PendingRequest& request, const ItemPointer& item, const fskit::FSItemAttributes& attributes);
    fuse_entry_param entryFor(const ItemPointer& item, const fskit::FSItemAttributes& attributes);
    void answerAttributes(
        const PendingRequest& request, const ItemPointer& item, const fskit::FSItemAttributes& attributes);
    void getattr(fuse_req_t request, fuse_ino_t inode);
    void setattr(fuse_req_t request, fuse_ino_t inode, const struct stat& wanted, int toSet);
    void statfs(fuse_req_t request);

    // Open files (KernelOperations+Files.cpp).
    void open(fuse_req_t request, fuse_ino_t inode, fuse_file_info* file, bool directory);
    // Opens `item` for a new kernel handle, which `handOver` gives the kernel; a handle the
    // kernel does not take is closed again.
    // `notOpened` runs when the volume refuses the open, before the request fails.
    void openHandle(const PendingRequest& request, const ItemPointer& item, fuse_ino_t inode,
        fskit::FSVolumeOpenModes modes, fuse_file_info file, HandOver handOver,
        std::function<void()> notOpened = {});
    void release(fuse_req_t request, fuse_file_info* file);
    // Closes the handle keeping the modes of the item's other handles; `request` (which may
    // carry no kernel request) is answered once the volume has closed.
    void closeHandle(OpenFiles::Handle* handle, const PendingRequest& request);
    void read(fuse_req_t request, std::size_t size, off_t offset, fuse_file_info* file);
    void write(fuse_req_t request, const char* bytes, std::size_t size, off_t offset, fuse_file_info* file);
    void synchronize(fuse_req_t request);

    // Directories (KernelOperations+Directories.cpp).
    void readdir(fuse_req_t request, fuse_ino_t inode, std::size_t size, off_t offset, fuse_file_info* file);

    // Making names (KernelOperations+Create.cpp).
    // Makes `name` for the caller of `request` and gives the item, admitted, to `made`.
    void make(fuse_req_t request, const ItemPointer& directory, const char* name, mode_t mode,
        bool directoryMode, Maker maker, Found made);
    // Answers `request` with the entry of the item found or made.
    Found entryAnswer(fuse_req_t request);
    Maker itemMaker(fskit::FSItemType type);
    void mknod(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode);
    void mkdir(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode);
    void symlink(fuse_req_t request, const char* target, fuse_ino_t parent, const char* name);
    void create(fuse_req_t request, fuse_ino_t parent, const char* name, mode_t mode, fuse_file_info* file);
    void link(fuse_req_t request, fuse_ino_t inode, fuse_ino_t parent, const char* name);
    void readlink(fuse_req_t request, fuse_ino_t inode);

    // Removing and renaming (KernelOperations+Remove.cpp).
    struct Renaming {
        ItemPointer from;
        fskit::FSFileName name;
        ItemPointer to;
        fskit::FSFileName newName;
        unsigned int flags;
    };
    // Ends a rename: gives the host's lookups back and answers with a Linux errno (0: done).
    using Finish = std::function<void(int linuxErrno)>;
    void remove(fuse_req_t request, fuse_ino_t parent, const char* name, bool directory);
    void rename(fuse_req_t request, fuse_ino_t parent, const char* name, fuse_ino_t newParent,
        const char* newName, unsigned int flags);
    // Looks both names up and renames as decideRename says; a plain rename whose destination is
    // taken after the lookups starts again, at most `attemptsLeft` times in all.
    void renameAttempt(const PendingRequest& request, const Renaming& renaming, int attemptsLeft);
    void replace(
        const Renaming& renaming, const ItemPointer& source, const ItemPointer& target, Finish finish);

    // Extended attributes, access and the volume's name (KernelOperations+Xattrs.cpp).
    static bool namesVolume(fuse_ino_t inode, const char* name);
    // Answers a value or listing for a kernel buffer of `bufferSize` bytes (0: the length only).
    static void answerValue(Pending& answer, std::size_t bufferSize, std::span<const std::uint8_t> value);
    void getxattr(fuse_req_t request, fuse_ino_t inode, const char* name, std::size_t size);
    void listxattr(fuse_req_t request, fuse_ino_t inode, std::size_t size);
    void setxattr(fuse_req_t request, fuse_ino_t inode, const char* name, const char* value, std::size_t size,
        int flags);
    void removexattr(fuse_req_t request, fuse_ino_t inode, const char* name);
    void renameVolume(fuse_req_t request, const std::string& name);
    void access(fuse_req_t request, fuse_ino_t inode, int mask);

    static KernelOperations& of(void* userdata) { return *static_cast<KernelOperations*>(userdata); }
    static KernelOperations& of(fuse_req_t request) { return of(fuse_req_userdata(request)); }
    static OpenFiles::Handle* handleOf(const fuse_file_info* file)
    {
        return reinterpret_cast<OpenFiles::Handle*>(static_cast<std::uintptr_t>(file->fh));
    }

    const std::shared_ptr<fskit::FSVolume> volume;
    const std::shared_ptr<NodeTable> table;
    OpenFiles files;
    CapabilityAbsence noCapabilities;
    std::mutex answeredMutex;
    std::condition_variable allAnswered;
    std::size_t unanswered = 0;
};

} // namespace host
