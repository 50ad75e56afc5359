#include "VLFSModule/Volume.h"

#include "Platform/FSKit/FSError.h"
#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/POSIXErrorCode.h"
#include "Platform/OS/FatalError.h"
#include "VLChannel/Reply.h"
#include "VLChannel/Request.h"
#include "VLFSModule/FSModuleLogger.h"
#include "VLFoundation/BitSet.h"

#include <algorithm>
#include <string>
#include <sys/socket.h>
#include <vector>

namespace vl {
namespace {

fskit::FSVolume::SupportedCapabilities defaultCapabilities()
{
    fskit::FSVolume::SupportedCapabilities capabilities;
    capabilities.supportsPersistentObjectIDs = false;
    capabilities.supportsSymbolicLinks = true;
    capabilities.supportsHardLinks = true;
    capabilities.supportsJournal = false;
    capabilities.supportsActiveJournal = false;
    capabilities.doesNotSupportRootTimes = true;
    capabilities.supportsSparseFiles = false;
    capabilities.supportsZeroRuns = false;
    capabilities.supportsFastStatFS = true;
    capabilities.supports2TBFiles = true;
    capabilities.supportsOpenDenyModes = false;
    capabilities.supportsHiddenFiles = true;
    capabilities.doesNotSupportVolumeSizes = false;
    capabilities.supports64BitObjectIDs = true;
    capabilities.supportsDocumentID = false;
    capabilities.doesNotSupportImmutableFiles = false;
    capabilities.doesNotSupportSettingFilePermissions = false;
    capabilities.supportsSharedSpace = false;
    capabilities.supportsVolumeGroups = false;
    capabilities.caseFormat = fskit::FSVolume::CaseFormat::sensitive;
    return capabilities;
}

} // namespace

Volume::VError::VError(Code code, const std::string& message, std::pair<std::uint32_t, std::uint32_t> version)
    : std::runtime_error(message)
    , errorCode(code)
    , daemonVersion(version)
{
}

Volume::VError Volume::VError::unsupportedBinaryInterface(std::uint32_t major, std::uint32_t minor)
{
    return VError(Code::unsupportedBinaryInterface,
        "The file system daemon speaks FUSE " + std::to_string(major) + "." + std::to_string(minor)
            + "; 7.19 or later is needed",
        { major, minor });
}

Volume::VError Volume::VError::unexpectedMessage()
{
    return VError(Code::unexpectedMessage, "The file system daemon sent an unexpected message");
}

Volume::VError Volume::VError::advertiseFailed()
{
    return VError(Code::advertiseFailed, "The broker did not confirm the volume's advertisement");
}

Volume::VError Volume::VError::peerCodeSigningRequirement()
{
    return VError(Code::peerCodeSigningRequirement, "The peer code-signing requirement could not be set");
}

Volume::Volume(std::shared_ptr<fskit::FSBlockDeviceResource> resource, foundation::UUID identity)
    : fskit::FSVolume(fskit::FSVolumeIdentifier(identity), fskit::FSFileName(volumeName))
    , device(std::move(resource))
    , identity(identity)
    , capabilities(defaultCapabilities())
    , cachedVolumeStatistics(initialStatistics())
{
}

foundation::UUID Volume::readIdentity(const fskit::FSBlockDeviceResource& resource)
{
    std::int64_t blockSize = resource.physicalBlockSize();
    if (blockSize < 0)
        fatalError("Negative physical block size", "VLFSModule/Volume");
    blockSize = std::max<std::int64_t>(blockSize, 16);
    std::vector<std::uint8_t> block(static_cast<std::size_t>(blockSize));
    std::int64_t done = 0;
    while (done < blockSize) {
        std::int64_t count
            = resource.read(std::span(block).subspan(static_cast<std::size_t>(done)), done, blockSize - done);
        // A device that ends before its first block would be read forever.
        if (count <= 0)
            throw fskit::fs_errorForPOSIXError(posix::eio);
        done += count;
    }
    return foundation::UUID::fromBytes(block.data());
}

tasks::Task<std::shared_ptr<Volume>> Volume::make(
    std::shared_ptr<fskit::FSBlockDeviceResource> resource, Connector connector)
{
    foundation::UUID identity = readIdentity(*resource);
    fsModule().info("Create volume with identifier %s", identity.uuidString());
    std::shared_ptr<Volume> volume(new Volume(std::move(resource), identity));
    fsModule().info("Connect with file system process");
    std::shared_ptr<Channel> connected = co_await connector(identity);
    volume->replaceChannel(std::move(connected));
    co_await volume->handshake();
    co_return volume;
}

std::shared_ptr<Channel> Volume::requireChannel() const
{
    std::shared_ptr<Channel> current
        = channel.withLock([](std::shared_ptr<Channel>& value) { return value; });
    if (!current)
        throw fskit::fs_errorForPOSIXError(posix::enxio);
    return current;
}

tasks::Task<void> Volume::handshake()
{
    std::shared_ptr<Channel> connected = requireChannel();
    co_await connected->open();
    Request init(FUSE_INIT, 0, 0, 0, 0, Request::Part::managed<fuse_init_in>([](fuse_init_in& in) {
        in.major = 7;
        in.minor = 19;
        in.max_readahead = FUSE_VOLUME_MAX_READAHEAD;
        in.flags = FUSE_INIT_VOLUME_OFFER;
    }));
    Reply reply = co_await connected->process(std::move(init));
    fuse_init_out answer
        = std::move(reply).consume<fuse_init_out>([](const fuse_init_out& out) { return out; });
    if (answer.major < 7 || (answer.major == 7 && answer.minor < 19))
        throw VError::unsupportedBinaryInterface(answer.major, answer.minor);
    if (allBitsSet(answer.flags, FUSE_INIT_CASE_INSENSITIVE))
        capabilities.caseFormat = CaseFormat::insensitiveCasePreserving;
    if (allBitsSet(answer.flags, FUSE_INIT_VOLUME_RENAME))
        volumeRenameInhibited = false;
    if (allBitsSet(answer.flags, FUSE_INIT_EXTENDED_ACCESS))
        extendedAccessInhibited = false;
    fsModule().info("Update volume statisitics");
    co_await updateVolumeStatistics();
}

void Volume::replaceChannel(std::shared_ptr<Channel> replacement)
{
    channel.withLock([&](std::shared_ptr<Channel>& value) { value = std::move(replacement); });
}

std::pair<std::shared_ptr<foundation::FileHandle>, std::shared_ptr<foundation::FileHandle>> makeSocketPair()
{
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        throw foundation::POSIXError::fromErrno("socketpair");
    return { std::make_shared<foundation::FileHandle>(ends[0]),
        std::make_shared<foundation::FileHandle>(ends[1]) };
}

} // namespace vl
