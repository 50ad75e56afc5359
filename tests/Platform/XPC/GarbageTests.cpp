// A peer that writes garbage on its socket: the receiver logs and drops each bad packet, closes
// the descriptors that came with it, and goes on serving the next good message.
#include "Platform/OS/Logger.h"
#include "Platform/XPC/Connection.h"
#include "Platform/XPC/RuntimeDirectory.h"
#include "Platform/XPC/Wire.h"

#include "Support/Mailbox.h"
#include "Support/OpenDescriptors.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <random>

namespace {

using testing_support::openDescriptors;
using xpc::Connection;
using xpc::Object;
using xpc::Type;
using xpc::XPCDictionary;
namespace wire = xpc::wire;

int connectRaw(const std::string& path)
{
    int raw = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    EXPECT_EQ(::connect(raw, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return raw;
}

void sendPacket(int socket, const std::vector<std::uint8_t>& bytes, const std::vector<int>& descriptors = {})
{
    iovec vector { const_cast<std::uint8_t*>(bytes.data()), bytes.size() };
    msghdr header {};
    header.msg_iov = &vector;
    header.msg_iovlen = 1;
    std::vector<char> control;
    if (!descriptors.empty()) {
        control.resize(CMSG_SPACE(descriptors.size() * sizeof(int)));
        header.msg_control = control.data();
        header.msg_controllen = control.size();
        cmsghdr* rights = CMSG_FIRSTHDR(&header);
        rights->cmsg_level = SOL_SOCKET;
        rights->cmsg_type = SCM_RIGHTS;
        rights->cmsg_len = CMSG_LEN(descriptors.size() * sizeof(int));
        std::memcpy(CMSG_DATA(rights), descriptors.data(), descriptors.size() * sizeof(int));
    }
    ASSERT_EQ(::sendmsg(socket, &header, MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
}

TEST(ConnectionGarbage, MalformedPacketsAreLoggedAndDroppedAndTheNextMessageStillArrives)
{
    os::LogCapture capture;
    auto before = openDescriptors();
    {
        auto listener = Connection::createMachServiceListener("test.garbage");
        auto listenerEvents = std::make_shared<EventMailbox>();
        listener->setEventHandler(postingTo(listenerEvents));
        listener->activate();
        int raw = connectRaw(xpc::servicePath("test.garbage"));
        Object accepted = listenerEvents->next();
        auto peer = accepted.connectionValue();
        ASSERT_TRUE(peer);
        auto peerEvents = std::make_shared<EventMailbox>();
        peer->setEventHandler(postingTo(peerEvents));
        peer->activate();

        XPCDictionary good;
        good.setString("Operation", "volume-advertise");
        good.setValue("FileHandle", Object::fileDescriptor(STDIN_FILENO));
        wire::EncodedFrame frame = wire::encode(wire::FrameKind::message, 1, good);

        std::mt19937 random(1234);
        std::vector<std::uint8_t> noise(300);
        for (auto& byte : noise)
            byte = static_cast<std::uint8_t>(random());
        std::size_t garbagePackets = 0;
        sendPacket(raw, noise);
        ++garbagePackets;
        for (std::size_t cut : { 1ul, 4ul, 12ul, frame.bytes.size() - 1 }) {
            sendPacket(raw, std::vector(frame.bytes.begin(), frame.bytes.begin() + static_cast<long>(cut)),
                frame.descriptors);
            ++garbagePackets;
        }
        sendPacket(raw, frame.bytes); // the descriptor it announces is missing
        ++garbagePackets;
        sendPacket(raw, frame.bytes, { STDIN_FILENO, STDOUT_FILENO }); // one descriptor too many
        ++garbagePackets;
        // A reply nobody waits for is dropped too.
        sendPacket(raw, wire::encode(wire::FrameKind::reply, 99, XPCDictionary()).bytes);
        sendPacket(raw, frame.bytes, frame.descriptors);

        auto received = XPCDictionary::fromObject(peerEvents->next());
        ASSERT_TRUE(received);
        EXPECT_EQ(received->string("Operation"), "volume-advertise");
        int descriptor = received->value("FileHandle")->dupFileDescriptor();
        EXPECT_GE(descriptor, 0);
        ::close(descriptor);

        std::size_t malformed = 0;
        for (const std::string& text : capture.texts(os::LogLevel::error))
            if (text.starts_with("Dropped a malformed XPC message"))
                ++malformed;
        EXPECT_EQ(malformed, garbagePackets);
        EXPECT_TRUE(capture.contains(os::LogLevel::error, "Dropped an XPC reply that no request waits for"));

        ::close(raw);
        Object last = peerEvents->next();
        ASSERT_EQ(last.type(), Type::error);
        EXPECT_EQ(last.errorValue()->code(), xpc::XPCRichError::Code::connectionInterrupted);
        listener->cancel();
        EXPECT_EQ(listenerEvents->next().type(), Type::error);
    }
    EXPECT_EQ(openDescriptors(), before);
}

} // namespace
