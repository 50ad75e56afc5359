#include "vorlane-fused/FuseSession.h"

#include "Support/FusePeer.h"
#include "Support/WaitUntil.h"
#include "vorlane-fused/MemoryFileSystem.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <future>

namespace {

using Ending = fused::FuseSession::Ending;

// A session serving the daemon's end of a socket pair on its own thread, announcing case
// insensitivity; the test holds the volume's end, whose reads fail after ten seconds.
struct Served {
    explicit Served(bool stoppedFirst = false)
    {
        int ends[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        daemon = std::make_shared<foundation::FileHandle>(ends[0]);
        volume = ends[1];
        timeval limit { 10, 0 };
        EXPECT_EQ(::setsockopt(volume, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
        if (stoppedFirst)
            session.stop();
        ending = std::async(std::launch::async,
            [this] { return session.serve(*daemon, fileSystem, { .caseInsensitive = true }); });
    }
    ~Served() { ::close(volume); }

    // How the session ended; one still serving after the safety limit fails the test and is ended
    // by the volume's hanging up (not by stop(), which may be what is broken).
    Ending end()
    {
        if (ending.wait_for(testing_support::waitLimit) != std::future_status::ready) {
            ADD_FAILURE() << "the session did not end";
            ::shutdown(volume, SHUT_RDWR);
        }
        return ending.get();
    }

    std::shared_ptr<foundation::FileHandle> daemon;
    int volume = -1;
    fused::MemoryFileSystem fileSystem;
    fused::FuseSession session;
    std::future<Ending> ending;
};

// What the volume does (after INIT, or a request header of `length` bytes) decides the ending.
TEST(FuseSession, endsAsTheVolumeEndsItOrWhenStopped)
{
    enum class Then { nothing, destroy, close, stop };
    struct Case {
        std::uint32_t length;
        Then then;
        Ending ending;
    };
    for (Case c : { Case { 0, Then::destroy, Ending::destroyed }, Case { 0, Then::close, Ending::peerClosed },
             Case { 60, Then::close, Ending::peerClosed }, Case { 39, Then::nothing, Ending::protocolError },
             Case { fused::FuseServer::maximumRequestLength + 1, Then::nothing, Ending::protocolError },
             Case { 0, Then::stop, Ending::stopped } }) {
        SCOPED_TRACE(testing::Message() << c.length << " " << static_cast<int>(c.then));
        Served served;
        if (c.length != 0)
            testing_support::writeFuseRequest(served.volume, vl::FUSE_STATFS, 7, 1, {}, c.length);
        else
            EXPECT_EQ(testing_support::initializeFuse(served.volume).flags, vl::FUSE_INIT_CASE_INSENSITIVE);
        if (c.then == Then::destroy) {
            EXPECT_TRUE(testing_support::destroyFuse(served.volume, 5));
        }
        if (c.then == Then::close)
            ::shutdown(served.volume, SHUT_WR);
        if (c.then == Then::stop)
            served.session.stop();
        EXPECT_EQ(served.end(), c.ending);
    }
}

TEST(FuseSession, aStopBeforeTheSessionKeepsItFromBeginning)
{
    Served served(true);
    EXPECT_EQ(served.end(), Ending::stopped);
    // Nothing was read: the request stays in the socket, unanswered.
    testing_support::writeFuseRequest(served.volume, vl::FUSE_STATFS, 1, 1);
    pollfd readable { served.volume, POLLIN, 0 };
    EXPECT_EQ(::poll(&readable, 1, 0), 0);
}

} // namespace
