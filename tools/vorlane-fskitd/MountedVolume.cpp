#include "vorlane-fskitd/MountedVolume.h"

#include "Platform/OS/Logger.h"
#include "VLFoundation/BuildConfig.h"

#include <chrono>
#include <future>

namespace host {
namespace {

constexpr std::chrono::seconds patience { 10 };

const os::Logger& presenterLog()
{
    static const os::Logger* const logger
        = new os::Logger(std::string(vl::BuildConfig::variantIdentifier), "fskitd");
    return *logger;
}

} // namespace

MountedVolume::MountedVolume(std::shared_ptr<fskit::FSVolume> volume, std::shared_ptr<fskit::FSItem> root,
    const std::string& mountPoint, bool kernelChecksPermissions)
    : table(NodeTable::make(volume, std::move(root)))
    , operations(volume, table)
    , session(operations, mountPoint, kernelChecksPermissions)
{
}

void MountedVolume::serve()
{
    std::exception_ptr failure;
    try {
        session.serve();
    } catch (...) {
        failure = std::current_exception();
    }
    // Requests in flight are answered while the session's descriptor is still open, and none may
    // outlive the operations object. The volume answers each once the daemon has (or is gone).
    while (!operations.waitUntilAnswered(patience))
        presenterLog().error("Waiting for the volume to answer the kernel's last requests");
    session.unmount();
    // A session stopped before the kernel ended it leaves the handles the kernel still had open.
    operations.closeUnreleased();
    auto emptied = std::make_shared<std::promise<void>>();
    std::future<void> empty = emptied->get_future();
    table->forgetAll([emptied] { emptied->set_value(); });
    while (empty.wait_for(patience) != std::future_status::ready)
        presenterLog().error("Waiting for the volume to reclaim the items the kernel held");
    // The host's own closes of unreleased handles end after the reclaims they allowed.
    while (!operations.waitUntilAnswered(patience))
        presenterLog().error("Waiting for the volume to close the handles the kernel left open");
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace host
