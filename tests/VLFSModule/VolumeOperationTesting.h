// A volume connected to a scripted daemon for tests of its item operations: the handshake is
// answered, the root activated, and items are made by looking names up.
#pragma once

#include "Platform/Foundation/POSIXErrorCode.h"
#include "Platform/Tasks/Spawn.h"
#include "Support/Mailbox.h"
#include "Support/VolumeTestSupport.h"

#include <algorithm>
#include <string_view>
#include <system_error>
#include <tuple>

namespace testing_support {

using namespace std::string_view_literals;

// Runs `operation`: 0 when it succeeds, its errno, or -1 for a failure that is no POSIX error.
template <typename T> int errnoOf(tasks::Task<T> operation)
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

inline vl::fuse_entry_out entryFor(std::uint64_t node, std::uint32_t mode, std::uint64_t size = 0)
{
    return { .nodeid = node, .attr = { .ino = node, .size = size, .mode = mode, .nlink = 1 } };
}
inline vl::fuse_attr_out attrOut(std::uint64_t node, std::uint32_t mode, std::uint64_t size = 0)
{
    return { .attr = entryFor(node, mode, size).attr };
}
// The bytes of FUSE structures, texts and byte strings, back to back.
template <typename... Parts> std::vector<std::byte> joined(const Parts&... parts)
{
    std::vector<std::byte> bytes;
    ((void)std::ranges::copy(bytesOf(parts), std::back_inserter(bytes)), ...);
    return bytes;
}
// A request as the daemon saw it: opcode, node and body.
using Sent = std::tuple<vl::fuse_opcode, std::uint64_t, std::vector<std::byte>>;
inline Sent sentAs(const FuseRequest& request)
{
    return { request.opcode(), request.nodeid(), bytesOf(request.body()) };
}

class VolumeOperationTest : public testing::Test {
protected:
    VolumeOperationTest()
    {
        answerHandshake(peer);
        volume = tasks::runBlocking(vl::Volume::make(device.open(), connectTo(peer)));
        root = tasks::runBlocking(volume->activate());
        peer.waitForRequestCount(2);
    }
    // The item of `node`, found as `name` in `directory` (the root by default) by one LOOKUP.
    std::shared_ptr<vl::Item> itemFor(std::uint64_t node, std::uint32_t mode, std::string_view name = "item",
        std::shared_ptr<vl::Item> directory = nullptr)
    {
        answer(vl::FUSE_LOOKUP, FuseAnswer::replyWith(entryFor(node, mode)));
        return tasks::runBlocking(volume->lookupItem(fskit::FSFileName(name), directory ? directory : root))
            .item;
    }
    void answer(vl::fuse_opcode opcode, FuseAnswer answer)
    {
        peer.on(opcode, [answer](auto&) { return answer; });
    }
    // The number of requests received so far, and what was sent from request number `first` on.
    std::size_t mark() const { return peer.requests().size(); }
    std::vector<Sent> sentSince(std::size_t first) const
    {
        std::vector<Sent> sent;
        for (std::size_t index = first; index < mark(); ++index)
            sent.push_back(sentAs(peer.waitForRequest(index)));
        return sent;
    }
    std::vector<vl::fuse_opcode> opcodesSince(std::size_t first) const
    {
        std::vector<vl::fuse_opcode> opcodes;
        std::ranges::transform(sentSince(first), std::back_inserter(opcodes),
            [](const Sent& sent) { return std::get<0>(sent); });
        return opcodes;
    }
    // Takes the channel away as a deactivation does (telling the absent daemon service fails).
    void disconnect()
    {
        answer(vl::FUSE_DESTROY, FuseAnswer::reply());
        (void)tasks::runBlocking(tasks::catching(volume->deactivate()));
    }

    DeviceImage device;
    FusePeer peer;
    std::shared_ptr<vl::Volume> volume;
    std::shared_ptr<vl::Item> root;
};

struct ForeignItem final : fskit::FSItem { };

} // namespace testing_support
