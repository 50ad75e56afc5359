// The extension's FSKit volume: one per loaded block device, connected to its FUSE daemon.
//
// make() builds a volume completely or fails: it reads the volume UUID from the device, finds the
// daemon through the broker, opens the FUSE channel on a socket pair, makes the INIT handshake
// (which may lift the rename and access-check inhibitions and make the volume case-insensitive)
// and fetches the first statistics. Those handshake results are fixed before FSKit sees the
// volume. `channel` is cleared only by a deactivation whose DESTROY and close succeed; from then
// on every operation that needs the daemon fails with ENXIO. Shared state (the channel, the
// cached statistics) is guarded by Protected cells; FSKit may call any operation from any thread.
#pragma once

#include "Platform/FSKit/FSBlockDeviceResource.h"
#include "Platform/FSKit/FSStatFSResult.h"
#include "Platform/FSKit/FSVolume.h"
#include "Platform/Foundation/FileHandle.h"
#include "Platform/Foundation/UUID.h"
#include "Platform/Tasks/Task.h"
#include "Platform/XPC/Object.h"
#include "VLChannel/Channel.h"
#include "VLChannel/Request.h"
#include "VLFSModule/Item.h"
#include "VLFSModule/ItemStore.h"
#include "VLFSModule/OperationReply.h"
#include "VLFoundation/Protected.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <stdexcept>
#include <utility>

namespace vl {

// The kinds of transport a daemon may ask for.
enum class ChannelType { Socket };

class Volume final : public fskit::FSVolume, public std::enable_shared_from_this<Volume> {
public:
    class VError : public std::runtime_error {
    public:
        enum class Code {
            unsupportedBinaryInterface,
            unexpectedMessage,
            unsupported,
            advertiseFailed,
            resourceTypeUnsupported,
            peerCodeSigningRequirement,
        };

        static VError unsupportedBinaryInterface(std::uint32_t major, std::uint32_t minor);
        static VError unexpectedMessage();
        static VError advertiseFailed();
        static VError peerCodeSigningRequirement();

        Code code() const { return errorCode; }
        // The daemon's protocol version, for unsupportedBinaryInterface.
        std::pair<std::uint32_t, std::uint32_t> version() const { return daemonVersion; }

    private:
        VError(Code code, const std::string& message, std::pair<std::uint32_t, std::uint32_t> version = {});

        Code errorCode;
        std::pair<std::uint32_t, std::uint32_t> daemonVersion;
    };

    // Finds the daemon of the volume with this UUID and returns a channel to it (not yet open).
    using Connector = std::function<tasks::Task<std::shared_ptr<Channel>>(foundation::UUID volume)>;

    static constexpr std::int64_t defaultIOSize = 1048576;
    static constexpr const char* volumeName = "Vorlane Volume";
    // How long connect() waits for the daemon to call back before the load fails.
    static constexpr std::chrono::seconds daemonConnectionDeadline { 30 };

    static tasks::Task<std::shared_ptr<Volume>> make(
        std::shared_ptr<fskit::FSBlockDeviceResource> resource, Connector connector = connect);

    // The UUID in the first 16 bytes of the device (reads at least 16 bytes, a whole block).
    static foundation::UUID readIdentity(const fskit::FSBlockDeviceResource& resource);

    static tasks::Task<std::shared_ptr<Channel>> connect(foundation::UUID volume);

    const foundation::UUID& uuid() const { return identity; }
    const std::shared_ptr<fskit::FSBlockDeviceResource>& resource() const { return device; }
    bool isExtendedAccessInhibited() const { return extendedAccessInhibited; }
    std::int64_t ioSize() const { return defaultIOSize; }
    Item::Store& itemStore() { return items; }

    // The channel, or the ENXIO error when the volume has been disconnected.
    std::shared_ptr<Channel> requireChannel() const;

    tasks::Task<void> updateVolumeStatistics();
    tasks::Task<std::shared_ptr<Item>> activate();
    tasks::Task<void> deactivate();

    // The item operations behind FSKit's calls of the same names. Each fails with EIO when
    // handed an item that is not one of ours and with ENXIO once the volume is disconnected; a
    // daemon's error reply fails it with the daemon's errno, changing nothing.
    tasks::Task<ItemAndName> lookupItem(fskit::FSFileName name, ItemPointer directory);
    // Always fetches every attribute from the daemon and refreshes the item's own attributes.
    tasks::Task<std::shared_ptr<fskit::FSItemAttributes>> attributes(ItemPointer item);
    tasks::Task<std::shared_ptr<fskit::FSItemAttributes>> setAttributes(
        std::shared_ptr<fskit::FSItemSetAttributesRequest> newAttributes, ItemPointer item);
    // Drops the item from the table and tells the daemon to forget every lookup it counted.
    tasks::Task<void> reclaimItem(ItemPointer item);
    // One daemon handle per item serves every open, whatever its modes; opens are counted and
    // the handle is released when a close keeps no mode and no other open is counted. A FIFO is
    // refused with EPERM.
    tasks::Task<void> openItem(ItemPointer item, OpenModes modes);
    // `keptModes` are the modes still open after this close; a close that keeps none while other
    // opens are counted fails with EIO.
    tasks::Task<void> closeItem(ItemPointer item, OpenModes keptModes);
    // Reads up to `length` bytes at `offset` of an open item into `buffer` (at least `length`
    // bytes, alive until the task ends); fewer only at the end of the file or on a short read.
    tasks::Task<std::int64_t> read(
        ItemPointer item, std::int64_t offset, std::int64_t length, std::span<std::uint8_t> buffer);
    // Writes `contents` at `offset` of an open item; the requests reference its bytes, which
    // must stay valid until the task ends. Returns the bytes written, fewer after a short write.
    tasks::Task<std::int64_t> write(DiscontiguousData contents, ItemPointer item, std::int64_t offset);
    // Lists an open directory from `startingAt` (0, or the cookie of the last entry packed), leaving
    // out "." and ".."; attributes are fetched only for entries that lack an id or a type, or when
    // `attributes` asks for some. Fails with ENOENT for an item not ours and EBADF when not open.
    // Returns FSKit's initial verifier once the packer is full or the directory exhausted.
    tasks::Task<fskit::FSDirectoryVerifier> enumerateDirectory(ItemPointer directory,
        fskit::FSDirectoryCookie startingAt, std::shared_ptr<fskit::FSItemGetAttributesRequest> attributes,
        std::shared_ptr<fskit::FSDirectoryEntryPacker> packer);
    // Makes a directory (MKDIR), a file (CREATE, exclusive) or a special file (MKNOD) by `type`, with
    // the mode of `attributes` or 0755. The node counts one lookup, as a found one does; a new
    // node then gets `attributes` set (SETATTR), and a file is closed again before the call ends.
    // A node the table holds already keeps its attributes.
    tasks::Task<ItemAndName> createItem(fskit::FSFileName name, fskit::FSItemType type, ItemPointer directory,
        std::shared_ptr<fskit::FSItemSetAttributesRequest> attributes);
    // Makes a symbolic link to `contents`; it gets the daemon's attributes, none of FSKit's.
    tasks::Task<ItemAndName> createSymbolicLink(
        fskit::FSFileName name, ItemPointer directory, fskit::FSFileName contents);
    // Enters `item` in `directory` as `name` and returns the name. The daemon's reply counts one
    // more lookup of the item, given back when it is reclaimed; its cached attributes (link count
    // included) change only with its next attribute request.
    tasks::Task<fskit::FSFileName> createLink(
        ItemPointer item, fskit::FSFileName name, ItemPointer directory);
    // The link's target exactly as the daemon sends it.
    tasks::Task<fskit::FSFileName> readSymbolicLink(ItemPointer item);
    // Removes `name` from `directory`: RMDIR when the item's cached type is directory, UNLINK
    // otherwise. Items that are not ours fail with ENOENT. The item keeps its table entry, name,
    // parent and handle until FSKit reclaims it.
    tasks::Task<void> removeItem(ItemPointer item, fskit::FSFileName name, ItemPointer directory);
    // Moves `item` from `sourceName` in `sourceDirectory` to `destinationName` in
    // `destinationDirectory`. Without `overItem` the new name must be free (Darwin RENAME_EXCL);
    // with it the two names are exchanged (RENAME_SWAP) and `overItem` takes the old name and
    // parent. Returns the new name; a failure changes no item.
    tasks::Task<fskit::FSFileName> renameItem(ItemPointer item, ItemPointer sourceDirectory,
        fskit::FSFileName sourceName, fskit::FSFileName destinationName, ItemPointer destinationDirectory,
        ItemPointer overItem);
    // Extended attributes. Listing and reading ask the daemon for the size first and then for
    // exactly that many bytes (a size of 0 ends after one request). Setting sends Darwin's
    // XATTR_CREATE (mustCreate) or XATTR_REPLACE (mustReplace) flag, 0 for alwaysSet, and fails
    // with EINVAL without a value; the delete policy sends FUSE_REMOVEXATTR. A daemon's ENOSYS
    // becomes ENOTSUP, other POSIX errors keep their code, any other failure (a short reply
    // included) becomes ENXIO.
    tasks::Task<std::vector<fskit::FSFileName>> xattrs(ItemPointer item);
    tasks::Task<foundation::Data> xattr(fskit::FSFileName name, ItemPointer item);
    tasks::Task<void> setXattr(fskit::FSFileName name, std::optional<foundation::Data> value,
        ItemPointer item, SetXattrPolicy policy);
    // Asks the daemon (FUSE_ACCESS) whether `requestedAccess` to the item is granted, with the
    // mask in FUSE's R/W/X bits and, when the daemon checks extended access, FSKit's bits 1-13
    // moved 8 places up. EACCES, ETXTBSY and EROFS answer false; ENOSYS fails with ENOTSUP.
    tasks::Task<bool> checkAccess(ItemPointer item, AccessMask requestedAccess);
    // Fsyncs (data only) every open regular file, directory and block device in the table at
    // once, then refreshes the statistics. The first failure fails the call (ENOSYS as ENOTSUP,
    // non-POSIX failures as ENXIO) and the statistics are not refreshed. The flags are ignored.
    tasks::Task<void> synchronize(fskit::FSSyncFlags flags);
    // Sends FUSE_SETVOLNAME; only after the daemon's success does the volume take the name.
    tasks::Task<fskit::FSFileName> setVolumeName(fskit::FSFileName name);

    // FSKit's volume operations.
    SupportedCapabilities supportedVolumeCapabilities() const override { return capabilities; }
    fskit::FSStatFSResult volumeStatistics() override;
    void activate(fskit::FSTaskOptions options, ItemReply replyHandler) override;
    void deactivate(fskit::FSDeactivateOptions options, ErrorReply replyHandler) override;
    void mount(fskit::FSTaskOptions options, ErrorReply replyHandler) override;
    void unmount(std::function<void()> replyHandler) override;
    void synchronize(fskit::FSSyncFlags flags, ErrorReply replyHandler) override;
    void attributes(std::shared_ptr<fskit::FSItemGetAttributesRequest> desiredAttributes, ItemPointer item,
        AttributesReply replyHandler) override;
    void setAttributes(std::shared_ptr<fskit::FSItemSetAttributesRequest> newAttributes, ItemPointer item,
        AttributesReply replyHandler) override;
    void lookupItem(fskit::FSFileName name, ItemPointer directory, ItemAndNameReply replyHandler) override;
    void reclaimItem(ItemPointer item, ErrorReply replyHandler) override;
    void readSymbolicLink(ItemPointer item, NameReply replyHandler) override;
    void createItem(fskit::FSFileName name, fskit::FSItemType type, ItemPointer directory,
        std::shared_ptr<fskit::FSItemSetAttributesRequest> newAttributes,
        ItemAndNameReply replyHandler) override;
    void createSymbolicLink(fskit::FSFileName name, ItemPointer directory,
        std::shared_ptr<fskit::FSItemSetAttributesRequest> newAttributes, fskit::FSFileName contents,
        ItemAndNameReply replyHandler) override;
    void createLink(
        ItemPointer item, fskit::FSFileName name, ItemPointer directory, NameReply replyHandler) override;
    void removeItem(
        ItemPointer item, fskit::FSFileName name, ItemPointer directory, ErrorReply replyHandler) override;
    void renameItem(ItemPointer item, ItemPointer sourceDirectory, fskit::FSFileName sourceName,
        fskit::FSFileName destinationName, ItemPointer destinationDirectory, ItemPointer overItem,
        NameReply replyHandler) override;
    void enumerateDirectory(ItemPointer directory, fskit::FSDirectoryCookie startingAt,
        fskit::FSDirectoryVerifier verifier, std::shared_ptr<fskit::FSItemGetAttributesRequest> attributes,
        std::shared_ptr<fskit::FSDirectoryEntryPacker> packer,
        std::function<void(fskit::FSDirectoryVerifier verifier, std::exception_ptr error)> replyHandler)
        override;

    std::int64_t maximumLinkCount() const override { return 256; }
    std::int64_t maximumNameLength() const override { return 256; }
    bool restrictsOwnershipChanges() const override { return false; }
    bool truncatesLongNames() const override { return false; }
    std::int64_t maximumXattrSizeInBits() const override { return 25; }
    std::int64_t maximumFileSizeInBits() const override { return 65; }

    void openItem(ItemPointer item, OpenModes modes, ErrorReply replyHandler) override;
    void closeItem(ItemPointer item, OpenModes modes, ErrorReply replyHandler) override;
    void read(ItemPointer item, std::int64_t offset, std::int64_t length,
        std::shared_ptr<fskit::FSMutableFileDataBuffer> buffer,
        std::function<void(std::int64_t bytesRead, std::exception_ptr error)> replyHandler) override;
    void write(foundation::Data contents, ItemPointer item, std::int64_t offset,
        std::function<void(std::int64_t bytesWritten, std::exception_ptr error)> replyHandler) override;
    void checkAccess(ItemPointer item, AccessMask requestedAccess,
        std::function<void(bool granted, std::exception_ptr error)> replyHandler) override;
    bool isVolumeRenameInhibited() const override { return volumeRenameInhibited; }
    void setVolumeName(fskit::FSFileName name, NameReply replyHandler) override;
    void xattrs(ItemPointer item,
        std::function<void(std::vector<fskit::FSFileName> names, std::exception_ptr error)> replyHandler)
        override;
    void xattr(fskit::FSFileName name, ItemPointer item,
        std::function<void(std::optional<foundation::Data> value, std::exception_ptr error)> replyHandler)
        override;
    void setXattr(fskit::FSFileName name, std::optional<foundation::Data> value, ItemPointer item,
        SetXattrPolicy policy, ErrorReply replyHandler) override;

    // The statistics a volume reports before the daemon has told it anything.
    static fskit::FSStatFSResult initialStatistics();
    static fskit::FSStatFSResult statisticsFrom(const fuse_statfs_out& reply);

private:
    Volume(std::shared_ptr<fskit::FSBlockDeviceResource> resource, foundation::UUID identity);

    // The item as one of ours, or the EIO error.
    static std::shared_ptr<Item> requireItem(const ItemPointer& item);
    // A name as requests carry it: its bytes, referenced, then one zero byte.
    static Request::Part namePart(const fskit::FSFileName& name);

    tasks::Task<void> handshake();
    static tasks::Task<void> advertise(foundation::UUID volume, xpc::Object endpoint);
    void replaceChannel(std::shared_ptr<Channel> replacement);

    const std::shared_ptr<fskit::FSBlockDeviceResource> device;
    const foundation::UUID identity;
    Item::Store items;
    // Set during the handshake, before FSKit sees the volume; read-only afterwards.
    bool volumeRenameInhibited = true;
    bool extendedAccessInhibited = true;
    SupportedCapabilities capabilities;
    Protected<fskit::FSStatFSResult> cachedVolumeStatistics;
    mutable Protected<std::shared_ptr<Channel>> channel { nullptr };
};

// Makes the connected pair of stream sockets that joins a volume and its daemon: (local, remote).
std::pair<std::shared_ptr<foundation::FileHandle>, std::shared_ptr<foundation::FileHandle>> makeSocketPair();

} // namespace vl
