// Serves the FUSE protocol (7.19, Darwin variant) on one connected stream socket.
//
// serve() runs a few threads that take turns at the socket: the one whose turn it is reads a
// request (the 40-byte header, then the rest) and checks its length, hands the turn on, then runs
// the opcode's handler on the backend itself and writes the reply whole, under one write lock, so
// that replies never interleave, a request is answered on the thread that read it (no hand-over
// between reading and answering) and a slow request holds up no other. Two opcodes keep the turn:
// FORGET, which has no reply and is applied before any later request is read, and DESTROY,
// answered once every earlier request has been. Opcodes without a handler are answered ENOSYS; a
// body of the wrong shape EINVAL; a backend failure with its errno; all of them Darwin's. A header
// that cannot be framed (shorter than 40 bytes or longer than the largest request) ends the
// session, as do the peer closing its end and a DESTROY answered without error; serve() returns
// once every request it read has been answered. The server owns the socket and closes it when
// destroyed.
#pragma once

#include "vorlane-fused/Bytes.h"
#include "vorlane-fused/FileSystemBackend.h"
#include "vorlane-fused/FuseRequest.h"

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace fused {

// The optional capabilities that the daemon announces in its INIT reply, and whether it serves
// extended attributes at all (when not, every extended-attribute request is answered ENOSYS).
struct DaemonFeatures {
    bool caseInsensitive = false;
    bool volumeRename = false;
    bool extendedAccess = false;
    bool extendedAttributes = true;
    // Logs one line per request: its opcode, unique and node, and for FSYNC its flags.
    bool trace = false;
};

class FuseServer {
public:
    enum class Ending { peerClosed, destroyed, protocolError };

    // The largest WRITE and READ. STATFS announces it as the preferred transfer size (bsize), which
    // the volume takes for its I/O size.
    static constexpr std::uint32_t maximumWrite = 1u << 20;
    // A WRITE of maximumWrite bytes with its header and fuse_write_in, and room to spare.
    static constexpr std::uint32_t maximumRequestLength = maximumWrite + 4096;
    // Threads taking turns at the socket: the most requests answered at once.
    static constexpr std::size_t threadCount = 8;

    FuseServer(int socket, FileSystemBackend& backend, DaemonFeatures features);
    ~FuseServer();
    FuseServer(const FuseServer&) = delete;
    FuseServer& operator=(const FuseServer&) = delete;

    Ending serve();

    // The name SETVOLNAME last gave the volume; empty until then.
    std::string volumeName();

private:
    using Payload = Bytes;
    using Handler = Payload (FuseServer::*)(const FuseRequest&);
    struct Route {
        std::uint32_t opcode;
        Handler handler;
    };
    static const Route routes[];

    // One thread's part of serve(): reads and answers until the session has ended.
    void takeTurns();
    void waitUntilAllAnswered();
    std::optional<FuseRequest> readRequest(Ending& ending);
    bool readExactly(std::span<std::byte> buffer);
    // Runs the opcode's handler and writes its reply; answers the errno replied (0 for success).
    std::int32_t answer(const FuseRequest& request);
    void reply(std::uint64_t unique, std::int32_t error, std::span<const std::byte> payload);
    void forget(const FuseRequest& request);

    Payload init(const FuseRequest& request);
    Payload statfs(const FuseRequest& request);
    Payload destroy(const FuseRequest& request);
    Payload getattr(const FuseRequest& request);
    Payload setattr(const FuseRequest& request);
    Payload lookup(const FuseRequest& request);

    // FuseServer+Data.cpp
    Payload open(const FuseRequest& request);
    Payload opendir(const FuseRequest& request);
    Payload release(const FuseRequest& request);
    Payload releasedir(const FuseRequest& request);
    Payload read(const FuseRequest& request);
    Payload write(const FuseRequest& request);
    Payload fsync(const FuseRequest& request);
    Payload fsyncdir(const FuseRequest& request);
    Payload readdir(const FuseRequest& request);

    // FuseServer+Names.cpp
    Payload create(const FuseRequest& request);
    Payload mkdir(const FuseRequest& request);
    Payload mknod(const FuseRequest& request);
    Payload symlink(const FuseRequest& request);
    Payload link(const FuseRequest& request);
    Payload readlink(const FuseRequest& request);
    Payload unlink(const FuseRequest& request);
    Payload rmdir(const FuseRequest& request);
    Payload rename(const FuseRequest& request);

    // FuseServer+Xattrs.cpp
    Payload getxattr(const FuseRequest& request);
    Payload listxattr(const FuseRequest& request);
    Payload setxattr(const FuseRequest& request);
    Payload removexattr(const FuseRequest& request);
    Payload access(const FuseRequest& request);
    Payload setvolname(const FuseRequest& request);
    void requireExtendedAttributes() const;

    // The entry of a node the reply names, valid as long as the volume may cache it.
    static vl::fuse_entry_out entryOf(const vl::fuse_attr& attributes);

    const int socket;
    FileSystemBackend& backend;
    const DaemonFeatures features;
    std::mutex writeLock;
    std::mutex nameLock;
    std::string name;
    // The turn at the socket; `answering` counts the requests read and not yet answered.
    std::mutex turn;
    std::mutex answeringLock;
    std::condition_variable allAnswered;
    std::size_t answering = 0;
    std::optional<Ending> ending;
};

} // namespace fused
