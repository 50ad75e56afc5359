// The base class of a file system's volume, and the operations through which FSKit uses it.
//
// FSKit calls every operation on a thread of its own, with a reply handler that the volume must
// call exactly once, from any thread, now or later; a non-null std::exception_ptr reports the
// failure (null results go with it). Items are handed in and out as std::shared_ptr<FSItem>.
// The volume's identifier is fixed; its name may be changed and read from any thread.
#pragma once

#include "Platform/FSKit/FSDirectoryEntryPacker.h"
#include "Platform/FSKit/FSEntityIdentifier.h"
#include "Platform/FSKit/FSFileName.h"
#include "Platform/FSKit/FSItem.h"
#include "Platform/FSKit/FSItemAttributeRequests.h"
#include "Platform/FSKit/FSItemAttributes.h"
#include "Platform/FSKit/FSMutableFileDataBuffer.h"
#include "Platform/FSKit/FSOptions.h"
#include "Platform/FSKit/FSStatFSResult.h"
#include "Platform/Foundation/Data.h"
#include "Platform/OS/UnfairLock.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace fskit {

class FSVolume {
public:
    using Identifier = FSVolumeIdentifier;
    using OpenModes = FSVolumeOpenModes;
    using AccessMask = FSAccessMask;
    using SetXattrPolicy = FSSetXattrPolicy;

    enum class CaseFormat : std::int64_t {
        sensitive = 0,
        insensitive = 1,
        insensitiveCasePreserving = 2,
    };

    struct SupportedCapabilities {
        bool supportsPersistentObjectIDs = false;
        bool supportsSymbolicLinks = false;
        bool supportsHardLinks = false;
        bool supportsJournal = false;
        bool supportsActiveJournal = false;
        bool doesNotSupportRootTimes = false;
        bool supportsSparseFiles = false;
        bool supportsZeroRuns = false;
        bool supportsFastStatFS = false;
        bool supports2TBFiles = false;
        bool supportsOpenDenyModes = false;
        bool supportsHiddenFiles = false;
        bool doesNotSupportVolumeSizes = false;
        bool supports64BitObjectIDs = false;
        bool supportsDocumentID = false;
        bool doesNotSupportImmutableFiles = false;
        bool doesNotSupportSettingFilePermissions = false;
        bool supportsSharedSpace = false;
        bool supportsVolumeGroups = false;
        CaseFormat caseFormat = CaseFormat::sensitive;

        friend bool operator==(const SupportedCapabilities&, const SupportedCapabilities&) = default;
    };

    using ItemPointer = std::shared_ptr<FSItem>;
    using ErrorReply = std::function<void(std::exception_ptr error)>;
    using ItemReply = std::function<void(ItemPointer item, std::exception_ptr error)>;
    using ItemAndNameReply
        = std::function<void(ItemPointer item, std::optional<FSFileName> name, std::exception_ptr error)>;
    using NameReply = std::function<void(std::optional<FSFileName> name, std::exception_ptr error)>;
    using AttributesReply
        = std::function<void(std::shared_ptr<FSItemAttributes> attributes, std::exception_ptr error)>;

    FSVolume(Identifier volumeID, FSFileName volumeName);
    virtual ~FSVolume() = default;

    FSVolume(const FSVolume&) = delete;
    FSVolume& operator=(const FSVolume&) = delete;

    const Identifier& volumeID() const { return identifier; }
    FSFileName name() const;
    void setName(FSFileName newName);

    // Volume operations.
    virtual SupportedCapabilities supportedVolumeCapabilities() const = 0;
    virtual FSStatFSResult volumeStatistics() = 0;
    virtual void activate(FSTaskOptions options, ItemReply replyHandler) = 0;
    virtual void deactivate(FSDeactivateOptions options, ErrorReply replyHandler) = 0;
    virtual void mount(FSTaskOptions options, ErrorReply replyHandler) = 0;
    virtual void unmount(std::function<void()> replyHandler) = 0;
    virtual void synchronize(FSSyncFlags flags, ErrorReply replyHandler) = 0;
    virtual void attributes(std::shared_ptr<FSItemGetAttributesRequest> desiredAttributes, ItemPointer item,
        AttributesReply replyHandler)
        = 0;
    virtual void setAttributes(std::shared_ptr<FSItemSetAttributesRequest> newAttributes, ItemPointer item,
        AttributesReply replyHandler)
        = 0;
    virtual void lookupItem(FSFileName name, ItemPointer directory, ItemAndNameReply replyHandler) = 0;
    virtual void reclaimItem(ItemPointer item, ErrorReply replyHandler) = 0;
    virtual void readSymbolicLink(ItemPointer item, NameReply replyHandler) = 0;
    virtual void createItem(FSFileName name, FSItemType type, ItemPointer directory,
        std::shared_ptr<FSItemSetAttributesRequest> newAttributes, ItemAndNameReply replyHandler)
        = 0;
    virtual void createSymbolicLink(FSFileName name, ItemPointer directory,
        std::shared_ptr<FSItemSetAttributesRequest> newAttributes, FSFileName contents,
        ItemAndNameReply replyHandler)
        = 0;
    virtual void createLink(ItemPointer item, FSFileName name, ItemPointer directory, NameReply replyHandler)
        = 0;
    virtual void removeItem(ItemPointer item, FSFileName name, ItemPointer directory, ErrorReply replyHandler)
        = 0;
    // `overItem` is null when nothing holds the destination name.
    virtual void renameItem(ItemPointer item, ItemPointer sourceDirectory, FSFileName sourceName,
        FSFileName destinationName, ItemPointer destinationDirectory, ItemPointer overItem,
        NameReply replyHandler)
        = 0;
    // `attributes` is null when FSKit wants no attributes with the entries.
    virtual void enumerateDirectory(ItemPointer directory, FSDirectoryCookie startingAt,
        FSDirectoryVerifier verifier, std::shared_ptr<FSItemGetAttributesRequest> attributes,
        std::shared_ptr<FSDirectoryEntryPacker> packer,
        std::function<void(FSDirectoryVerifier verifier, std::exception_ptr error)> replyHandler)
        = 0;

    // Path-configuration properties.
    virtual std::int64_t maximumLinkCount() const = 0;
    virtual std::int64_t maximumNameLength() const = 0;
    virtual bool restrictsOwnershipChanges() const = 0;
    virtual bool truncatesLongNames() const = 0;
    virtual std::int64_t maximumXattrSizeInBits() const = 0;
    virtual std::int64_t maximumFileSizeInBits() const = 0;

    // Open and close.
    virtual void openItem(ItemPointer item, OpenModes modes, ErrorReply replyHandler) = 0;
    // `modes` are the modes that stay open after this close; empty closes the item for good.
    virtual void closeItem(ItemPointer item, OpenModes modes, ErrorReply replyHandler) = 0;

    // Read and write; the reply carries the number of bytes transferred.
    virtual void read(ItemPointer item, std::int64_t offset, std::int64_t length,
        std::shared_ptr<FSMutableFileDataBuffer> buffer,
        std::function<void(std::int64_t bytesRead, std::exception_ptr error)> replyHandler)
        = 0;
    virtual void write(foundation::Data contents, ItemPointer item, std::int64_t offset,
        std::function<void(std::int64_t bytesWritten, std::exception_ptr error)> replyHandler)
        = 0;

    // Access check.
    virtual void checkAccess(ItemPointer item, AccessMask requestedAccess,
        std::function<void(bool granted, std::exception_ptr error)> replyHandler)
        = 0;

    // Volume rename.
    virtual bool isVolumeRenameInhibited() const = 0;
    virtual void setVolumeName(FSFileName name, NameReply replyHandler) = 0;

    // Extended attributes.
    virtual void xattrs(ItemPointer item,
        std::function<void(std::vector<FSFileName> names, std::exception_ptr error)> replyHandler)
        = 0;
    virtual void xattr(FSFileName name, ItemPointer item,
        std::function<void(std::optional<foundation::Data> value, std::exception_ptr error)> replyHandler)
        = 0;
    // `value` is absent when FSKit passes none (always so for SetXattrPolicy::deleteXattr).
    virtual void setXattr(FSFileName name, std::optional<foundation::Data> value, ItemPointer item,
        SetXattrPolicy policy, ErrorReply replyHandler)
        = 0;

private:
    const Identifier identifier;
    mutable os::UnfairLock nameLock;
    FSFileName volumeName VL_GUARDED_BY(nameLock);
};

} // namespace fskit
