// A volume loaded and activated through the FSKit host against a scripted daemon, for the host's
// tests. The daemon knows "a" (node 5) and "b" (node 6) in the root, answers "darwin-only" with
// Darwin's ENOATTR and anything else with ENOENT; every FORGET it gets is posted to `forgets`.
// "d" (node 7, set-group-ID, mode 02777, group 20) and "e" (node 8) are directories, and so is
// what MKDIR makes (node 10); CREATE makes node 9. Files open as handle 42 and hold 1000 bytes,
// byte i being 'a' + i % 26; writes take every byte; each RELEASE is posted to `releases`. The
// root lists 300 files "n0" to "n299" after "." and "..", with cookies 3 to 302. RMDIR answers
// ENOTEMPTY; UNLINK, RENAME and SETVOLNAME succeed; "user.x" is the only extended attribute,
// with the value "value". Volume rename is offered.
#pragma once

#include "Platform/Foundation/POSIXErrorCode.h"
#include "VLFSModule/FileSystem.h"
#include "VLFSModule/Service.h"
#include "vorlane-fskitd/FSKitHost.h"

#include "Support/Mailbox.h"
#include "Support/VolumeTestSupport.h"
#include "Support/XPCTestServer.h"

#include <map>

namespace testing_support {

// The mode of each node the daemon knows.
inline std::uint32_t modeOf(std::uint64_t node)
{
    static const std::map<std::uint64_t, std::uint32_t> modes { { 1, 040755 }, { 7, 042777 }, { 8, 040755 },
        { 10, 040755 } };
    return modes.contains(node) ? modes.at(node) : 0100640;
}

inline vl::fuse_attr_out attributesOf(std::uint64_t node, std::uint32_t mode)
{
    vl::fuse_attr_out out {};
    out.attr.ino = node, out.attr.size = 1000, out.attr.mtime = 1700000000, out.attr.mode = mode;
    out.attr.nlink = 1, out.attr.uid = 501, out.attr.gid = 20;
    return out;
}

// The root's listing from the READDIR offset, as many whole records as the size allows.
inline std::vector<std::byte> rootListing(const FuseRequest& request)
{
    auto in = request.bodyAs<vl::fuse_read_in>();
    std::vector<std::byte> bytes;
    for (std::uint64_t index = in.offset; index < 302; ++index) {
        std::string name = index == 0 ? "." : index == 1 ? ".." : "n" + std::to_string(index - 2);
        vl::fuse_dirent record { 1000 + index, index + 1, static_cast<std::uint32_t>(name.size()), 8 };
        std::size_t padded = (sizeof record + name.size() + 7) / 8 * 8;
        if (bytes.size() + padded > in.size)
            break;
        std::size_t at = bytes.size();
        bytes.resize(at + padded);
        std::memcpy(bytes.data() + at, &record, sizeof record);
        std::memcpy(bytes.data() + at + sizeof record, name.data(), name.size());
    }
    return bytes;
}

struct LoadedVolume {
    LoadedVolume()
    {
        answerHandshake(peer, initReply(7, 19, 0x40000000));
        peer.on(vl::FUSE_DESTROY, [](const FuseRequest&) { return FuseAnswer::reply(); });
        peer.on(vl::FUSE_LOOKUP, [](const FuseRequest& request) {
            static const std::map<std::string, std::uint64_t> nodes { { "a", 5 }, { "b", 6 }, { "d", 7 },
                { "e", 8 } };
            std::string name = request.bodyString();
            if (name == "darwin-only")
                return FuseAnswer::error(posix::enoattr);
            if (!nodes.contains(name))
                return FuseAnswer::error(posix::enoent);
            vl::fuse_entry_out entry {};
            entry.nodeid = nodes.at(name);
            entry.attr = attributesOf(entry.nodeid, modeOf(entry.nodeid)).attr;
            return FuseAnswer::replyWith(entry);
        });
        peer.on(vl::FUSE_GETATTR, [](const FuseRequest& request) {
            return FuseAnswer::replyWith(attributesOf(request.nodeid(), modeOf(request.nodeid())));
        });
        peer.on(vl::FUSE_SETATTR, [](const FuseRequest& request) {
            auto in = request.bodyAs<vl::fuse_setattr_in>();
            std::uint32_t mode = modeOf(request.nodeid());
            return FuseAnswer::replyWith(
                attributesOf(request.nodeid(), (mode & 0170000) | (in.mode & 07777)));
        });
        peer.on(vl::FUSE_FORGET, [this](const FuseRequest& request) {
            forgets.push({ request.nodeid(), request.bodyAs<vl::fuse_forget_in>().nlookup });
            return FuseAnswer::unanswered();
        });
        peer.on(vl::FUSE_OPEN, [](const FuseRequest&) {
            vl::fuse_open_out out {};
            out.fh = 42;
            return FuseAnswer::replyWith(out);
        });
        peer.on(vl::FUSE_READ, [](const FuseRequest& request) {
            auto in = request.bodyAs<vl::fuse_read_in>();
            std::string bytes;
            for (std::uint64_t index = in.offset; index < 1000 && index < in.offset + in.size; ++index)
                bytes += static_cast<char>('a' + index % 26);
            return FuseAnswer::reply(bytesOf(bytes));
        });
        peer.on(vl::FUSE_WRITE, [](const FuseRequest& request) {
            vl::fuse_write_out out {};
            out.size = request.bodyAs<vl::fuse_write_in>().size;
            return FuseAnswer::replyWith(out);
        });
        peer.on(vl::FUSE_RELEASE, [this](const FuseRequest& request) {
            releases.push(request.nodeid());
            return FuseAnswer::reply();
        });
        peer.on(
            vl::FUSE_OPENDIR, [](const FuseRequest&) { return FuseAnswer::replyWith(vl::fuse_open_out {}); });
        peer.on(vl::FUSE_RELEASEDIR, [](const FuseRequest&) { return FuseAnswer::reply(); });
        peer.on(vl::FUSE_READDIR,
            [](const FuseRequest& request) { return FuseAnswer::reply(rootListing(request)); });
        peer.on(vl::FUSE_CREATE, [](const FuseRequest&) {
            vl::fuse_entry_out entry {};
            entry.nodeid = 9;
            entry.attr = attributesOf(9, 0100644).attr;
            vl::fuse_open_out open {};
            open.fh = 44;
            return FuseAnswer::replyWith(entry, open);
        });
        peer.on(vl::FUSE_MKDIR, [](const FuseRequest&) {
            vl::fuse_entry_out entry {};
            entry.nodeid = 10;
            entry.attr = attributesOf(10, 040755).attr;
            return FuseAnswer::replyWith(entry);
        });
        peer.on(vl::FUSE_RMDIR, [](const FuseRequest&) { return FuseAnswer::error(posix::enotempty); });
        for (vl::fuse_opcode succeeding :
            { vl::FUSE_UNLINK, vl::FUSE_RENAME, vl::FUSE_SETVOLNAME, vl::FUSE_SETXATTR })
            peer.on(succeeding, [](const FuseRequest&) { return FuseAnswer::reply(); });
        peer.on(vl::FUSE_GETXATTR, [](const FuseRequest& request) {
            if (request.bodyString(sizeof(vl::fuse_getxattr_in)) != "user.x")
                return FuseAnswer::error(posix::enoattr);
            vl::fuse_getxattr_out out {};
            out.size = 5;
            return request.bodyAs<vl::fuse_getxattr_in>().size == 0 ? FuseAnswer::replyWith(out)
                                                                    : FuseAnswer::reply(bytesOf("value"));
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
    // The node of each RELEASE.
    Mailbox<std::uint64_t> releases;
    DeviceImage device;
    FusePeer peer;
    TestServer daemonService { xpc::Connection::createMachServiceListener(vl::Service::daemon().machService),
        [](const xpc::XPCDictionary&, xpc::Connection&) {} };
    vl::FileSystem fileSystem { connectTo(peer) };
    host::FSKitHost fskit { fileSystem, device.open() };
};

} // namespace testing_support
