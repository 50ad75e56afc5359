// A scripted FUSE daemon for tests: it serves the far end of a socket pair on its own thread,
// records every request's exact bytes, and answers each from the handler registered for its
// opcode. The near end goes to the code under test (takeChannelEnd()).
//
//     testing_support::FusePeer peer;
//     peer.on(vl::FUSE_GETATTR, [](const FuseRequest&) { return FuseAnswer::replyWith(attributes); });
//     peer.on(vl::FUSE_LOOKUP, [](const FuseRequest& request) {
//         return request.bodyString() == "missing" ? FuseAnswer::error(ENOENT)
//                                                  : FuseAnswer::replyWith(entry);
//     });
//     auto channel = std::make_shared<vl::Channel>(
//         std::make_unique<vl::SocketTransportMedium>(peer.takeChannelEnd()));
//     ...
//     EXPECT_EQ(peer.waitForRequest(0).opcode(), vl::FUSE_GETATTR);
//
// A request with no handler stays unanswered; the test may answer it later from its own thread
// (reply, write), which also gives replies in any order. Bytes can be written in pieces
// (each piece is read by the other end before the next is written), as raw bytes (garbage,
// wrong lengths), or end the connection as a dying daemon would. Handlers run on the peer's
// thread, one request at a time; writes from that thread and from the test never interleave.
// waitFor... calls block on a condition variable until the peer has seen what they wait for.
#pragma once

#include "Platform/Foundation/FileHandle.h"
#include "VLChannel/DiscontiguousData.h"
#include "VLChannel/FuseKernel.h"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

// The bytes of one or more FUSE structures, back to back.
template <vl::FuseStructure... Structures> std::vector<std::byte> bytesOf(const Structures&... structures)
{
    std::vector<std::byte> bytes((sizeof(Structures) + ... + 0));
    std::size_t offset = 0;
    ((std::memcpy(bytes.data() + offset, &structures, sizeof(Structures)), offset += sizeof(Structures)),
        ...);
    return bytes;
}

std::vector<std::byte> bytesOf(std::string_view text);
std::vector<std::byte> bytesOf(std::span<const std::byte> bytes);
std::vector<std::byte> bytesOf(const vl::DiscontiguousData& data);

// A whole reply from the daemon: a fuse_out_header (len = 16 + payload) and the payload.
std::vector<std::byte> replyMessage(std::uint64_t unique, std::span<const std::byte> payload = {});

// The volume's end of a conversation with a real daemon: requests written and replies read on a
// stream socket, blocking (a socket with a receive time limit turns a missing reply into an
// error); INIT and DESTROY as the volume sends them.
struct FuseReply {
    vl::fuse_out_header header {};
    std::vector<std::byte> payload;
};
// Writes a fuse_in_header (len = 40 + body, unless `length` says otherwise) and `body`.
void writeFuseRequest(int socket, std::uint32_t opcode, std::uint64_t unique, std::uint64_t nodeid,
    std::span<const std::byte> body = {}, std::optional<std::uint32_t> length = std::nullopt);
// Throws when the stream ends or fails before a whole reply has arrived.
FuseReply readFuseReply(int socket);
// Sends FUSE_INIT as the volume does and returns the daemon's answer; throws when the reply is an
// error or not a fuse_init_out.
vl::fuse_init_out initializeFuse(int socket, std::uint64_t unique = 1);
// Sends FUSE_DESTROY and answers whether it was answered without error.
bool destroyFuse(int socket, std::uint64_t unique);

// One request as the peer read it.
class FuseRequest {
public:
    explicit FuseRequest(std::vector<std::byte> bytes)
        : wire(std::move(bytes))
    {
    }

    // Every byte as it came over the socket, header included.
    const std::vector<std::byte>& bytes() const { return wire; }
    vl::fuse_in_header header() const;
    vl::fuse_opcode opcode() const { return static_cast<vl::fuse_opcode>(header().opcode); }
    std::uint64_t unique() const { return header().unique; }
    std::uint64_t nodeid() const { return header().nodeid; }
    // The bytes after the 40-byte fuse_in_header.
    std::span<const std::byte> body() const;
    // A copy of the structure at `offset` in the body; it must lie inside the body.
    template <vl::FuseStructure Structure> Structure bodyAs(std::size_t offset = 0) const
    {
        Structure structure;
        std::memcpy(&structure, requireBody(offset, sizeof(Structure)).data(), sizeof(Structure));
        return structure;
    }
    // The text from `offset` in the body up to its terminating zero byte (or the body's end).
    std::string bodyString(std::size_t offset = 0) const;

private:
    std::span<const std::byte> requireBody(std::size_t offset, std::size_t count) const;

    std::vector<std::byte> wire;
};

// What the peer does with a request: a list of steps, done in order.
class FuseAnswer {
public:
    // Leaves the request unanswered (FUSE_FORGET, or a reply the test writes later).
    static FuseAnswer unanswered() { return FuseAnswer(); }
    // A successful reply to the request with `payload` after the header.
    static FuseAnswer reply(std::vector<std::byte> payload = {});
    template <vl::FuseStructure... Structures> static FuseAnswer replyWith(const Structures&... structures)
    {
        return reply(bytesOf(structures...));
    }
    // A reply with `error` = -errnoValue and no payload.
    static FuseAnswer error(std::int32_t errnoValue);
    // Bytes written as they are: malformed headers, wrong lengths, replies to other requests.
    static FuseAnswer raw(std::vector<std::byte> bytes);

    // This answer, then `next`.
    FuseAnswer then(FuseAnswer next) &&;

private:
    friend class FusePeer;
    struct Step {
        // The bytes to write, made from the request being answered.
        std::function<std::vector<std::byte>(const FuseRequest&)> message;
    };

    FuseAnswer() = default;
    explicit FuseAnswer(Step step) { steps.push_back(std::move(step)); }

    std::vector<Step> steps;
};

class FusePeer {
public:
    using Handler = std::function<FuseAnswer(const FuseRequest&)>;

    // Makes the socket pair and starts serving its far end.
    FusePeer();
    // Ends the connection (if still up) and waits for the peer's thread.
    ~FusePeer();
    FusePeer(const FusePeer&) = delete;
    FusePeer& operator=(const FusePeer&) = delete;

    // The near end of the pair, for the code under test; taken once.
    std::shared_ptr<foundation::FileHandle> takeChannelEnd();

    // Answers requests with `opcode` from now on; replaces an earlier handler for it.
    void on(vl::fuse_opcode opcode, Handler handler);
    // Answers requests that no opcode handler takes (by default they stay unanswered).
    void onAnyOther(Handler handler);

    // The requests received so far, in arrival order.
    std::vector<FuseRequest> requests() const;
    // Blocks until request number `index` (from 0) has arrived and returns it.
    FuseRequest waitForRequest(std::size_t index) const;
    void waitForRequestCount(std::size_t count) const;
    // Blocks until the other end has closed its side and the peer has stopped serving.
    void waitUntilDisconnected() const;

    // Writes from the test's thread, never interleaved with the peer's own answers.
    void reply(std::uint64_t unique, std::span<const std::byte> payload = {});
    void notify(vl::fuse_notify_code code, std::span<const std::byte> payload = {});
    void write(std::span<const std::byte> bytes);
    // Writes `bytes` in pieces of `pieceSize`, each consumed by the other end before the next.
    void writeInPieces(std::span<const std::byte> bytes, std::size_t pieceSize);
    // The daemon stops reading: the peer stops serving and writes to it fail with EPIPE, while
    // the test may still write from its side.
    void stopReceiving();
    // The daemon dies: the connection ends in both directions.
    void closeConnection();

private:
    // Blocks (bounded) until `seen` holds under the peer's lock.
    void waitUntilSeen(const std::function<bool()>& seen) const;
    void serve();
    bool readRequest(std::vector<std::byte>& bytes);
    void answer(const FuseAnswer& answer, const FuseRequest& request);
    void writeLocked(std::span<const std::byte> bytes, std::size_t pieceSize);

    int peerDescriptor = -1;
    std::shared_ptr<foundation::FileHandle> channelEnd;

    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    std::vector<FuseRequest> received;
    std::map<vl::fuse_opcode, Handler> handlers;
    Handler fallback;
    bool disconnected = false;

    std::mutex writeMutex;
    std::thread thread;
};

} // namespace testing_support
