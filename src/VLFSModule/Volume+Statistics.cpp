#include "VLFSModule/Volume.h"

#include "Platform/Tasks/Spawn.h"
#include "VLChannel/Reply.h"
#include "VLChannel/Request.h"
#include "VLFSModule/FSModuleLogger.h"
#include "VLFoundation/BuildConfig.h"

#include <limits>

namespace vl {

fskit::FSStatFSResult Volume::initialStatistics()
{
    fskit::FSStatFSResult statistics { std::string(BuildConfig::variantTypeName()) };
    statistics.fileSystemSubType = 0;
    statistics.blockSize = 4096;
    statistics.ioSize = statistics.blockSize * 256;
    statistics.totalBlocks = (std::uint64_t { 1 } << 40) / static_cast<std::uint64_t>(statistics.blockSize);
    statistics.availableBlocks = 0;
    statistics.freeBlocks = 0;
    statistics.totalFiles = std::numeric_limits<std::uint64_t>::max();
    statistics.freeFiles = 0;
    return statistics;
}

fskit::FSStatFSResult Volume::statisticsFrom(const fuse_statfs_out& reply)
{
    fskit::FSStatFSResult statistics { std::string(BuildConfig::variantTypeName()) };
    statistics.fileSystemSubType = 0;
    statistics.blockSize = reply.st.frsize;
    statistics.ioSize = reply.st.bsize;
    statistics.totalBlocks = reply.st.blocks;
    statistics.availableBlocks = reply.st.bavail;
    statistics.freeBlocks = reply.st.bfree;
    statistics.totalFiles = reply.st.files;
    statistics.freeFiles = reply.st.ffree;
    return statistics;
}

tasks::Task<void> Volume::updateVolumeStatistics()
{
    std::shared_ptr<Channel> connected = requireChannel();
    // A fresh request each time, so overlapping refreshes never share one `unique`.
    Reply reply = co_await connected->process(Request::statfs());
    fskit::FSStatFSResult updated = std::move(reply).consume<fuse_statfs_out>(
        [](const fuse_statfs_out& out) { return statisticsFrom(out); });
    cachedVolumeStatistics.withLock([&](fskit::FSStatFSResult& cached) { cached = std::move(updated); });
}

namespace {

tasks::Task<void> refreshInBackground(std::shared_ptr<Volume> volume)
{
    tasks::Result<void> refreshed = co_await tasks::catching(volume->updateVolumeStatistics());
    if (!refreshed.isSuccess())
        fsModule().error("Failed to update volume statistics: %@", refreshed.error());
}

} // namespace

fskit::FSStatFSResult Volume::volumeStatistics()
{
    (void)tasks::spawn(refreshInBackground(shared_from_this()));
    return cachedVolumeStatistics.withLock([](fskit::FSStatFSResult& cached) { return cached; });
}

} // namespace vl
