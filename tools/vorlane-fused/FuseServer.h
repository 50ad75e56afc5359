// Serves the FUSE protocol (7.19, Darwin variant) on one connected stream socket.
//
// serve() reads one request at a time (the 40-byte header, then the rest), checks its length,
// dispatches it by opcode to one handler and writes the reply whole. Opcodes without a handler
// are answered ENOSYS; a body of the wrong shape EINVAL; a backend failure with its errno. A
// header that cannot be framed (shorter than 40 bytes or longer than the largest request) ends
// the session, as do the peer closing its end and an answered DESTROY. The server owns the
// socket and closes it when destroyed.
#pragma once

#include "vorlane-fused/FileSystemBackend.h"
#include "vorlane-fused/FuseRequest.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace fused {

// The optional capabilities that the daemon announces in its INIT reply.
struct DaemonFeatures {
    bool caseInsensitive = false;
    bool volumeRename = false;
    bool extendedAccess = false;
};

class FuseServer {
public:
    enum class Ending { peerClosed, destroyed, protocolError };

    static constexpr std::uint32_t caseInsensitiveFlag = 0x20000000;
    static constexpr std::uint32_t volumeRenameFlag = 0x40000000;
    static constexpr std::uint32_t extendedAccessFlag = 0x00800000;
    static constexpr std::uint32_t maximumWrite = 1u << 20;
    // A WRITE of maximumWrite bytes with its header and fuse_write_in, and room to spare.
    static constexpr std::uint32_t maximumRequestLength = maximumWrite + 4096;

    FuseServer(int socket, FileSystemBackend& backend, DaemonFeatures features);
    ~FuseServer();
    FuseServer(const FuseServer&) = delete;
    FuseServer& operator=(const FuseServer&) = delete;

    Ending serve();

private:
    using Payload = std::vector<std::byte>;
    using Handler = Payload (FuseServer::*)(const FuseRequest&);
    struct Route {
        std::uint32_t opcode;
        Handler handler;
    };
    static const Route routes[];

    std::optional<FuseRequest> readRequest(Ending& ending);
    bool readExactly(std::span<std::byte> buffer);
    void reply(std::uint64_t unique, std::int32_t error, std::span<const std::byte> payload);

    Payload init(const FuseRequest& request);
    Payload statfs(const FuseRequest& request);
    Payload destroy(const FuseRequest& request);
    Payload getattr(const FuseRequest& request);
    Payload lookup(const FuseRequest& request);

    int socket;
    FileSystemBackend& backend;
    const DaemonFeatures features;
    bool destroyed = false;
};

} // namespace fused
