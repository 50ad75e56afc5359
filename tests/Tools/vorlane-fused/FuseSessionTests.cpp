#include "vorlane-fused/FuseSession.h"

#include "Support/FusePeer.h"
#include "vorlane-fused/MemoryFileSystem.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <future>

namespace {

using Ending = fused::FuseSession::Ending;

// A session's socket pair: the daemon's end as a handle, the volume's end as a descriptor.
struct SocketPair {
    SocketPair()
    {
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        daemon = std::make_shared<foundation::FileHandle>(ends[0]);
        volume = ends[1];
    }
    ~SocketPair() { ::close(volume); }

    std::shared_ptr<foundation::FileHandle> daemon;
    int volume;
};

class FuseSessionTest : public testing::Test {
protected:
    std::future<Ending> serve(fused::DaemonFeatures features = {})
    {
        return std::async(std::launch::async,
            [this, features] { return session.serve(*sockets.daemon, fileSystem, features); });
    }

    SocketPair sockets;
    fused::MemoryFileSystem fileSystem;
    fused::FuseSession session;
};

TEST_F(FuseSessionTest, servesUntilTheVolumeSendsDestroy)
{
    std::future<Ending> ending = serve(fused::DaemonFeatures { .caseInsensitive = true });
    EXPECT_EQ(testing_support::initializeFuse(sockets.volume).flags, vl::FUSE_INIT_CASE_INSENSITIVE);
    EXPECT_TRUE(testing_support::destroyFuse(sockets.volume, 2));
    EXPECT_EQ(ending.get(), Ending::destroyed);
}

TEST_F(FuseSessionTest, endsWhenTheVolumeClosesItsEnd)
{
    std::future<Ending> ending = serve();
    testing_support::initializeFuse(sockets.volume);
    ::shutdown(sockets.volume, SHUT_WR);
    EXPECT_EQ(ending.get(), Ending::peerClosed);
}

TEST_F(FuseSessionTest, aStopDuringTheSessionShutsTheSocketDown)
{
    std::future<Ending> ending = serve();
    testing_support::initializeFuse(sockets.volume);
    session.stop();
    EXPECT_EQ(ending.get(), Ending::stopped);
    char byte;
    EXPECT_EQ(::read(sockets.volume, &byte, 1), 0);
    session.stop();
}

TEST_F(FuseSessionTest, aStopBeforeTheSessionKeepsItFromBeginning)
{
    session.stop();
    EXPECT_EQ(serve().get(), Ending::stopped);
    // Nothing was read: the request stays in the socket, unanswered.
    testing_support::writeFuseRequest(sockets.volume, vl::FUSE_STATFS, 1, 1);
    pollfd readable { sockets.volume, POLLIN, 0 };
    EXPECT_EQ(::poll(&readable, 1, 0), 0);
}

TEST_F(FuseSessionTest, aRequestThatCannotBeFramedIsAProtocolError)
{
    std::future<Ending> ending = serve();
    vl::fuse_in_header header {};
    header.len = 8;
    ASSERT_EQ(::write(sockets.volume, &header, sizeof header), static_cast<ssize_t>(sizeof header));
    EXPECT_EQ(ending.get(), Ending::protocolError);
}

} // namespace
