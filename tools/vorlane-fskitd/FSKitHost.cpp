#include "vorlane-fskitd/FSKitHost.h"

#include "Platform/FSKit/FSItemAttributeRequests.h"
#include "Platform/FSKit/FSItemAttributes.h"

#include <future>
#include <sstream>

namespace host {
namespace {

// Waits for the one call of a reply handler and returns what it was given.
template <typename... Values> class Reply {
public:
    auto handler()
    {
        return [promise = promise](
                   Values... values) { promise->set_value(std::tuple<Values...>(std::move(values)...)); };
    }
    std::tuple<Values...> wait() { return future.get(); }

private:
    std::shared_ptr<std::promise<std::tuple<Values...>>> promise
        = std::make_shared<std::promise<std::tuple<Values...>>>();
    std::future<std::tuple<Values...>> future = promise->get_future();
};

void rethrowIfFailed(const std::exception_ptr& error)
{
    if (error)
        std::rethrow_exception(error);
}

std::string describe(const std::exception_ptr& error)
{
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& failure) {
        return failure.what();
    } catch (...) {
        return "unknown error";
    }
}

const char* caseFormatName(fskit::FSVolume::CaseFormat format)
{
    switch (format) {
    case fskit::FSVolume::CaseFormat::sensitive:
        return "case-sensitive";
    case fskit::FSVolume::CaseFormat::insensitive:
        return "case-insensitive";
    case fskit::FSVolume::CaseFormat::insensitiveCasePreserving:
        return "case-insensitive, case-preserving";
    }
    return "unknown";
}

} // namespace

FSKitHost::FSKitHost(
    fskit::FSUnaryFileSystem& fileSystem, std::shared_ptr<fskit::FSBlockDeviceResource> device)
    : fileSystem(fileSystem)
    , device(std::move(device))
{
}

void FSKitHost::start()
{
    Reply<std::optional<fskit::FSProbeResult>, std::exception_ptr> probed;
    fileSystem.probeResource(device, probed.handler());
    auto [result, probeError] = probed.wait();
    rethrowIfFailed(probeError);
    probedName = result && result->name() ? *result->name() : "";

    Reply<std::shared_ptr<fskit::FSVolume>, std::exception_ptr> loaded;
    fileSystem.loadResource(device, {}, loaded.handler());
    auto [loadedVolume, loadError] = loaded.wait();
    rethrowIfFailed(loadError);
    volume = loadedVolume;

    Reply<std::shared_ptr<fskit::FSItem>, std::exception_ptr> activated;
    volume->activate({}, activated.handler());
    auto [rootItem, activateError] = activated.wait();
    rethrowIfFailed(activateError);
    root = rootItem;

    Reply<std::exception_ptr> mountedReply;
    volume->mount({}, mountedReply.handler());
    rethrowIfFailed(std::get<0>(mountedReply.wait()));
    mounted = true;
}

void FSKitHost::stop()
{
    std::exception_ptr firstFailure;
    if (volume && mounted) {
        Reply<> unmounted;
        volume->unmount(unmounted.handler());
        unmounted.wait();
        mounted = false;
    }
    if (volume) {
        Reply<std::exception_ptr> deactivated;
        volume->deactivate({}, deactivated.handler());
        firstFailure = std::get<0>(deactivated.wait());
        root.reset();
        volume.reset();
    }
    Reply<std::exception_ptr> unloaded;
    fileSystem.unloadResource(device, {}, unloaded.handler());
    std::exception_ptr unloadError = std::get<0>(unloaded.wait());
    rethrowIfFailed(firstFailure ? firstFailure : unloadError);
}

std::string FSKitHost::report()
{
    std::ostringstream lines;
    lines << "device: /dev/" << device->BSDName() << "\n";
    lines << "probed as: " << probedName << "\n";
    if (!volume)
        return lines.str();
    fskit::FSVolume::SupportedCapabilities capabilities = volume->supportedVolumeCapabilities();
    fskit::FSStatFSResult statistics = volume->volumeStatistics();
    lines << "volume identifier: " << volume->volumeID().uuid().uuidString() << "\n";
    lines << "volume name: " << volume->name().description() << "\n";
    lines << "case format: " << caseFormatName(capabilities.caseFormat) << "\n";
    lines << "symbolic links: " << (capabilities.supportsSymbolicLinks ? "yes" : "no") << "\n";
    lines << "hard links: " << (capabilities.supportsHardLinks ? "yes" : "no") << "\n";
    lines << "volume rename: " << (volume->isVolumeRenameInhibited() ? "inhibited" : "supported") << "\n";
    lines << "maximum name length: " << volume->maximumNameLength() << "\n";
    lines << "file system type: " << statistics.fileSystemTypeName << "\n";
    lines << "block size: " << statistics.blockSize << "\n";
    lines << "I/O size: " << statistics.ioSize << "\n";
    lines << "blocks: " << statistics.totalBlocks << " total, " << statistics.freeBlocks << " free, "
          << statistics.availableBlocks << " available\n";
    lines << "files: " << statistics.totalFiles << " total, " << statistics.freeFiles << " free\n";
    if (root) {
        // What FSKit would ask first of a new root: its attributes, through the volume.
        auto wanted = std::make_shared<fskit::FSItemGetAttributesRequest>(fskit::FSItemAttribute::type
            | fskit::FSItemAttribute::mode | fskit::FSItemAttribute::uid | fskit::FSItemAttribute::gid
            | fskit::FSItemAttribute::linkCount | fskit::FSItemAttribute::fileID
            | fskit::FSItemAttribute::parentID);
        Reply<std::shared_ptr<fskit::FSItemAttributes>, std::exception_ptr> answered;
        volume->attributes(wanted, root, answered.handler());
        auto [attributes, error] = answered.wait();
        if (attributes) {
            lines << "root attributes: file identifier " << static_cast<std::uint64_t>(attributes->fileID())
                  << ", parent " << static_cast<std::uint64_t>(attributes->parentID()) << ", mode 0"
                  << std::oct << attributes->mode() << std::dec << ", links " << attributes->linkCount()
                  << ", owner " << attributes->uid() << ":" << attributes->gid() << "\n";
        } else {
            lines << "root attributes: not available (" << describe(error) << ")\n";
        }
    }
    return lines.str();
}

} // namespace host
