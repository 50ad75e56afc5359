// A volume loaded and activated through the FSKit host against a scripted daemon, for the host's
// tests. The daemon answers the handshake with the replies given, knows "a" (node 5) and "b" (node
// 6) in the root and answers anything else with ENOENT; every FORGET it gets is posted to
// `forgets`, every message to the daemon service to `told`.
#pragma once

#include "Platform/Foundation/POSIXErrorCode.h"
#include "VLFSModule/FileSystem.h"
#include "VLFSModule/Service.h"
#include "vorlane-fskitd/FSKitHost.h"

#include "Support/Mailbox.h"
#include "Support/VolumeTestSupport.h"
#include "Support/XPCTestServer.h"

#include <map>
#include <sys/stat.h>

namespace testing_support {

inline vl::fuse_attr_out attributesOf(std::uint64_t node, std::uint32_t mode)
{
    vl::fuse_attr_out out {};
    out.attr.ino = node, out.attr.size = 1000, out.attr.mtime = 1700000000, out.attr.mode = mode;
    out.attr.nlink = S_ISDIR(mode) ? 3 : 1, out.attr.uid = 501, out.attr.gid = 20;
    return out;
}

struct LoadedVolume {
    explicit LoadedVolume(
        vl::fuse_init_out init = initReply(), vl::fuse_statfs_out statfs = statfsReply(1000))
    {
        answerHandshake(peer, init, statfs);
        peer.on(vl::FUSE_DESTROY, [](const FuseRequest&) { return FuseAnswer::reply(); });
        peer.on(vl::FUSE_LOOKUP, [](const FuseRequest& request) {
            static const std::map<std::string, std::uint64_t> nodes { { "a", 5 }, { "b", 6 } };
            std::string name = request.bodyString();
            if (!nodes.contains(name))
                return FuseAnswer::error(posix::enoent);
            vl::fuse_entry_out entry {};
            entry.nodeid = nodes.at(name);
            entry.attr = attributesOf(entry.nodeid, 0100640).attr;
            return FuseAnswer::replyWith(entry);
        });
        peer.on(vl::FUSE_GETATTR, [](const FuseRequest& request) {
            return FuseAnswer::replyWith(
                attributesOf(request.nodeid(), request.nodeid() == 1 ? 040755 : 0100640));
        });
        peer.on(vl::FUSE_FORGET, [this](const FuseRequest& request) {
            forgets.push({ request.nodeid(), request.bodyAs<vl::fuse_forget_in>().nlookup });
            return FuseAnswer::unanswered();
        });
        fskit.start();
    }
    ~LoadedVolume()
    {
        fskit.stop();
        daemonService.stop();
    }

    const std::shared_ptr<fskit::FSVolume>& volume() const { return fskit.loadedVolume(); }
    const std::shared_ptr<fskit::FSItem>& root() const { return fskit.rootItem(); }

    // The volume's answer to a lookup of `name` in the root.
    std::shared_ptr<fskit::FSItem> lookUp(const std::string& name)
    {
        auto found = std::make_shared<Mailbox<std::shared_ptr<fskit::FSItem>>>();
        volume()->lookupItem(fskit::FSFileName(name), root(),
            [found](auto item, auto, std::exception_ptr) { found->push(item); });
        return found->next();
    }

    // (node, nlookup) of each FORGET the daemon got.
    Mailbox<std::pair<std::uint64_t, std::uint64_t>> forgets;
    // Shared with the service's handler, whose push may still be returning when the test ends.
    std::shared_ptr<Mailbox<xpc::XPCDictionary>> told = std::make_shared<Mailbox<xpc::XPCDictionary>>();
    DeviceImage device;
    FusePeer peer;
    TestServer daemonService { xpc::Connection::createMachServiceListener(vl::Service::daemon().machService),
        [told = told](const xpc::XPCDictionary& message, xpc::Connection&) { told->push(message); } };
    vl::FileSystem fileSystem { connectTo(peer) };
    host::FSKitHost fskit { fileSystem, device.open() };
};

} // namespace testing_support
