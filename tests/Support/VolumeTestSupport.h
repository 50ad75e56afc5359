// Building blocks for volume tests: a device image file that starts with a volume UUID, and a
// scripted daemon that answers the volume's handshake.
#pragma once

#include "Platform/FSKit/FSBlockDeviceResource.h"
#include "Platform/Foundation/UUID.h"
#include "VLChannel/SocketTransportMedium.h"
#include "VLFSModule/Volume.h"

#include "Support/FusePeer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>
#include <fstream>
#include <memory>
#include <string>

namespace testing_support {

// A regular file standing in for a block device; removed with the object.
class DeviceImage {
public:
    explicit DeviceImage(std::size_t size = 4096, foundation::UUID identity = foundation::UUID()) : identity(identity)
    {
        char pattern[] = "/tmp/vorlane-device-XXXXXX";
        int descriptor = mkstemp(pattern);
        path = pattern;
        std::string contents(size, '\0');
        std::copy(identity.bytes().begin(), identity.bytes().begin() + std::min<std::size_t>(16, size),
                  contents.begin());
        EXPECT_EQ(write(descriptor, contents.data(), contents.size()), static_cast<ssize_t>(contents.size()));
        close(descriptor);
    }
    ~DeviceImage() { std::remove(path.c_str()); }

    std::shared_ptr<fskit::FSBlockDeviceResource> open(std::int64_t blockSize = 512) const
    {
        return fskit::FSBlockDeviceResource::open(path, blockSize);
    }

    foundation::UUID identity;
    std::string path;
};

inline vl::fuse_init_out initReply(std::uint32_t major = 7, std::uint32_t minor = 19, std::uint32_t flags = 0)
{
    vl::fuse_init_out out{};
    out.major = major;
    out.minor = minor;
    out.max_readahead = 16777216;
    out.flags = flags;
    out.max_write = 1 << 20;
    return out;
}

inline vl::fuse_statfs_out statfsReply(std::uint64_t blocks, std::uint32_t frsize = 4096, std::uint32_t bsize = 4096)
{
    vl::fuse_statfs_out out{};
    out.st.blocks = blocks;
    out.st.bfree = blocks / 2;
    out.st.bavail = blocks / 4;
    out.st.files = 1000;
    out.st.ffree = 900;
    out.st.bsize = bsize;
    out.st.frsize = frsize;
    out.st.namelen = 255;
    return out;
}

// A daemon that answers INIT with `init` and every STATFS with `statfs`.
inline void answerHandshake(FusePeer& peer, vl::fuse_init_out init = initReply(),
                            vl::fuse_statfs_out statfs = statfsReply(1000))
{
    peer.on(vl::FUSE_INIT, [init](const FuseRequest&) { return FuseAnswer::replyWith(init); });
    peer.on(vl::FUSE_STATFS, [statfs](const FuseRequest&) { return FuseAnswer::replyWith(statfs); });
}

// Connects every volume to the peer's channel end.
inline vl::Volume::Connector connectTo(FusePeer& peer)
{
    return [&peer](foundation::UUID) -> tasks::Task<std::shared_ptr<vl::Channel>> {
        co_return std::make_shared<vl::Channel>(std::make_unique<vl::SocketTransportMedium>(peer.takeChannelEnd()));
    };
}

} // namespace testing_support
