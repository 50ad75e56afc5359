// A volume connected to a scripted daemon for tests of its item operations: the handshake is
// answered, the root activated, and items are made by looking names up in the root.
#pragma once

#include "Platform/Foundation/POSIXErrorCode.h"
#include "Platform/Tasks/Spawn.h"
#include "VolumeTestSupport.h"

#include <system_error>

namespace testing_support {

// Runs `operation`: 0 when it succeeds, its errno, or -1 for a failure that is no POSIX error.
template <typename T>
int errnoOf(tasks::Task<T> operation)
{
    try {
        tasks::runBlocking(std::move(operation));
        return 0;
    } catch (const std::system_error& error) {
        return error.code().value();
    } catch (...) {
        return -1;
    }
}

inline vl::fuse_attr_out attrOut(std::uint64_t inode, std::uint32_t mode, std::uint64_t size = 0)
{
    return {.attr = {.ino = inode, .size = size, .mode = mode, .nlink = 1}};
}
inline vl::fuse_entry_out entryFor(std::uint64_t node, std::uint32_t mode, std::uint64_t size = 0)
{
    return {.nodeid = node, .attr = attrOut(node, mode, size).attr};
}
inline std::vector<std::byte> bodyOf(const FuseRequest& request) { return {request.body().begin(), request.body().end()}; }

class VolumeOperationTest : public testing::Test {
protected:
    VolumeOperationTest()
    {
        answerHandshake(peer);
        volume = tasks::runBlocking(vl::Volume::make(device.open(), connectTo(peer)));
        root = tasks::runBlocking(volume->activate());
        peer.waitForRequestCount(2);
    }
    // The item of node `node`, found in the root as `name` by one LOOKUP.
    std::shared_ptr<vl::Item> itemFor(std::uint64_t node, std::uint32_t mode, std::string_view name = "item")
    {
        peer.on(vl::FUSE_LOOKUP, [=](const FuseRequest&) { return FuseAnswer::replyWith(entryFor(node, mode)); });
        return tasks::runBlocking(volume->lookupItem(fskit::FSFileName(name), root)).item;
    }
    // The number of requests received so far, and the opcodes of those from number `first` on.
    std::size_t mark() const { return peer.requests().size(); }
    std::vector<vl::fuse_opcode> opcodesSince(std::size_t first) const
    {
        std::vector<vl::fuse_opcode> opcodes;
        for (std::size_t index = first; index < mark(); ++index)
            opcodes.push_back(peer.waitForRequest(index).opcode());
        return opcodes;
    }
    // Takes the channel away as a deactivation does (telling the absent daemon service fails).
    void disconnect()
    {
        peer.on(vl::FUSE_DESTROY, [](const FuseRequest&) { return FuseAnswer::reply(); });
        (void)tasks::runBlocking(tasks::catching(volume->deactivate()));
    }

    DeviceImage device;
    FusePeer peer;
    std::shared_ptr<vl::Volume> volume;
    std::shared_ptr<vl::Item> root;
};

struct ForeignItem final : fskit::FSItem {};

} // namespace testing_support
