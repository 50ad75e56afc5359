#include "VLFSModule/FileSystem.h"

#include "Platform/Tasks/Spawn.h"
#include "VLFSModule/FSModuleLogger.h"
#include "VLFoundation/Protected.h"

namespace vl {
namespace {

using LoadReply = std::function<void(std::shared_ptr<fskit::FSVolume>, std::exception_ptr)>;

struct PendingLoad {
    FileSystem* fileSystem;
    std::shared_ptr<fskit::FSBlockDeviceResource> resource;
    LoadReply replyHandler;
};

// Runs one load; the reply handler is handed over through the cell to exactly this task.
tasks::Task<void> load(std::shared_ptr<Protected<PendingLoad>> cell, Volume::Connector connector)
{
    PendingLoad pending = cell->unwrap();
    tasks::Result<std::shared_ptr<Volume>> made
        = co_await tasks::catching(Volume::make(pending.resource, std::move(connector)));
    if (!made.isSuccess()) {
        pending.replyHandler(nullptr, made.error());
        co_return;
    }
    pending.fileSystem->setContainerStatus(fskit::FSContainerStatus::ready());
    pending.replyHandler(made.get(), nullptr);
}

} // namespace

const fskit::FSContainerIdentifier& FileSystem::containerIdentifier()
{
    static const fskit::FSContainerIdentifier identifier(
        *foundation::UUID::parse("00000000-0000-0000-0056-6F726C616E65"));
    return identifier;
}

FileSystem& FileSystem::shared()
{
    static FileSystem* const fileSystem = new FileSystem();
    return *fileSystem;
}

void FileSystem::probeResource(std::shared_ptr<fskit::FSResource> resource,
    std::function<void(std::optional<fskit::FSProbeResult>, std::exception_ptr)> replyHandler)
{
    if (!std::dynamic_pointer_cast<fskit::FSBlockDeviceResource>(resource)) {
        replyHandler(std::nullopt, std::make_exception_ptr(Error::unsupportedResource()));
        return;
    }
    replyHandler(fskit::FSProbeResult::usableProbeResult(probeResultName, containerIdentifier()), nullptr);
}

void FileSystem::loadResource(
    std::shared_ptr<fskit::FSResource> resource, fskit::FSTaskOptions, LoadReply replyHandler)
{
    auto device = std::dynamic_pointer_cast<fskit::FSBlockDeviceResource>(resource);
    if (!device) {
        replyHandler(nullptr, std::make_exception_ptr(Error::unsupportedResource()));
        return;
    }
    auto cell = std::make_shared<Protected<PendingLoad>>(
        Protected<PendingLoad>::Unsafe { PendingLoad { this, std::move(device), std::move(replyHandler) } });
    (void)tasks::spawn(load(std::move(cell), connector));
}

void FileSystem::unloadResource(std::shared_ptr<fskit::FSResource>, fskit::FSTaskOptions,
    std::function<void(std::exception_ptr)> replyHandler)
{
    replyHandler(nullptr);
}

void FileSystem::didFinishLoading()
{
    fsModule().info("File system did finish loading");
}

} // namespace vl
