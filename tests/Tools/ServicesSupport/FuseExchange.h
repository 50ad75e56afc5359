// The volume's end of a FUSE conversation, for tests: writes one request (header and body) and
// reads one reply (header and payload) on a stream socket, blocking; INIT and DESTROY as the
// volume sends them.
#pragma once

#include "VLChannel/FuseKernel.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace testing_support {

struct FuseReply {
    vl::fuse_out_header header{};
    std::vector<std::byte> payload;
};

inline void writeFuseRequest(int socket, std::uint32_t opcode, std::uint64_t unique, std::uint64_t nodeid,
                             const void* body, std::size_t bodySize)
{
    vl::fuse_in_header header{};
    header.len = static_cast<std::uint32_t>(sizeof header + bodySize);
    header.opcode = opcode;
    header.unique = unique;
    header.nodeid = nodeid;
    const auto* headerBytes = reinterpret_cast<const std::byte*>(&header);
    std::vector<std::byte> bytes(headerBytes, headerBytes + sizeof header);
    if (bodySize > 0)
        bytes.insert(bytes.end(), static_cast<const std::byte*>(body), static_cast<const std::byte*>(body) + bodySize);
    std::size_t written = 0;
    while (written < bytes.size()) {
        ssize_t count = ::send(socket, bytes.data() + written, bytes.size() - written, MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            throw std::runtime_error("cannot write a FUSE request");
        written += static_cast<std::size_t>(count);
    }
}

// Answers false when the stream ended first.
inline bool readExactly(int socket, void* buffer, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        ssize_t count = ::read(socket, static_cast<std::byte*>(buffer) + done, size - done);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        done += static_cast<std::size_t>(count);
    }
    return true;
}

inline FuseReply readFuseReply(int socket)
{
    FuseReply reply;
    if (!readExactly(socket, &reply.header, sizeof reply.header) || reply.header.len < sizeof reply.header)
        throw std::runtime_error("no FUSE reply header");
    reply.payload.resize(reply.header.len - sizeof reply.header);
    if (!readExactly(socket, reply.payload.data(), reply.payload.size()))
        throw std::runtime_error("no FUSE reply payload");
    return reply;
}

// Sends FUSE_INIT as the volume does (7.19, max_readahead 16 MiB, flags 0x67800000) and answers
// the daemon's reply; throws when the reply is an error or not a fuse_init_out.
inline vl::fuse_init_out initializeFuse(int socket, std::uint64_t unique = 1)
{
    vl::fuse_init_in offer{};
    offer.major = 7;
    offer.minor = 19;
    offer.max_readahead = 16777216;
    offer.flags = 0x67800000;
    writeFuseRequest(socket, vl::FUSE_INIT, unique, 0, &offer, sizeof offer);
    FuseReply reply = readFuseReply(socket);
    if (reply.header.unique != unique || reply.header.error != 0 || reply.payload.size() != sizeof(vl::fuse_init_out))
        throw std::runtime_error("FUSE_INIT was not answered with a fuse_init_out");
    vl::fuse_init_out answer{};
    std::memcpy(&answer, reply.payload.data(), sizeof answer);
    return answer;
}

// Sends FUSE_DESTROY and answers whether it was answered without error.
inline bool destroyFuse(int socket, std::uint64_t unique)
{
    writeFuseRequest(socket, vl::FUSE_DESTROY, unique, 1, nullptr, 0);
    FuseReply reply = readFuseReply(socket);
    return reply.header.unique == unique && reply.header.error == 0;
}

} // namespace testing_support
