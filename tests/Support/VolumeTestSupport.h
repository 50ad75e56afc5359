// Building blocks for volume tests: the replies of a daemon that answers the volume's handshake,
// and a connector that hands every volume a scripted daemon's channel end.
#pragma once

#include "Platform/FSKit/FSBlockDeviceResource.h"
#include "Platform/Foundation/UUID.h"
#include "VLChannel/SocketTransportMedium.h"
#include "VLFSModule/Volume.h"

#include "Support/DeviceImage.h"
#include "Support/FusePeer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <unistd.h>

namespace testing_support {

inline vl::fuse_init_out initReply(std::uint32_t major = 7, std::uint32_t minor = 19, std::uint32_t flags = 0)
{
    vl::fuse_init_out out {};
    out.major = major;
    out.minor = minor;
    out.max_readahead = vl::FUSE_VOLUME_MAX_READAHEAD;
    out.flags = flags;
    out.max_write = 1 << 20;
    return out;
}

inline vl::fuse_statfs_out statfsReply(
    std::uint64_t blocks, std::uint32_t frsize = 4096, std::uint32_t bsize = 4096)
{
    vl::fuse_statfs_out out {};
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
inline void answerHandshake(
    FusePeer& peer, vl::fuse_init_out init = initReply(), vl::fuse_statfs_out statfs = statfsReply(1000))
{
    peer.on(vl::FUSE_INIT, [init](const FuseRequest&) { return FuseAnswer::replyWith(init); });
    peer.on(vl::FUSE_STATFS, [statfs](const FuseRequest&) { return FuseAnswer::replyWith(statfs); });
}

// Connects every volume to the peer's channel end.
inline vl::Volume::Connector connectTo(FusePeer& peer)
{
    return [&peer](foundation::UUID) -> tasks::Task<std::shared_ptr<vl::Channel>> {
        co_return std::make_shared<vl::Channel>(
            std::make_unique<vl::SocketTransportMedium>(peer.takeChannelEnd()));
    };
}

} // namespace testing_support
