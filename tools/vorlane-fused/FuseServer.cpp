#include "vorlane-fused/FuseServer.h"

#include "Platform/Foundation/DescriptorIO.h"
#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/POSIXErrorCode.h"
#include "Platform/OS/Signpost.h"
#include "vorlane-fused/DaemonLog.h"

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <sys/socket.h>
#include <sys/uio.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace fused {
namespace {

// How long the volume may cache what a reply tells it, in seconds.
constexpr std::uint64_t validitySeconds = 1;

} // namespace

const FuseServer::Route FuseServer::routes[] = {
    { vl::FUSE_LOOKUP, &FuseServer::lookup },
    { vl::FUSE_GETATTR, &FuseServer::getattr },
    { vl::FUSE_SETATTR, &FuseServer::setattr },
    { vl::FUSE_STATFS, &FuseServer::statfs },
    { vl::FUSE_INIT, &FuseServer::init },
    { vl::FUSE_DESTROY, &FuseServer::destroy },
    { vl::FUSE_OPEN, &FuseServer::open },
    { vl::FUSE_OPENDIR, &FuseServer::opendir },
    { vl::FUSE_RELEASE, &FuseServer::release },
    { vl::FUSE_RELEASEDIR, &FuseServer::releasedir },
    { vl::FUSE_READ, &FuseServer::read },
    { vl::FUSE_WRITE, &FuseServer::write },
    { vl::FUSE_FSYNC, &FuseServer::fsync },
    { vl::FUSE_FSYNCDIR, &FuseServer::fsyncdir },
    { vl::FUSE_READDIR, &FuseServer::readdir },
    { vl::FUSE_CREATE, &FuseServer::create },
    { vl::FUSE_MKDIR, &FuseServer::mkdir },
    { vl::FUSE_MKNOD, &FuseServer::mknod },
    { vl::FUSE_SYMLINK, &FuseServer::symlink },
    { vl::FUSE_LINK, &FuseServer::link },
    { vl::FUSE_READLINK, &FuseServer::readlink },
    { vl::FUSE_UNLINK, &FuseServer::unlink },
    { vl::FUSE_RMDIR, &FuseServer::rmdir },
    { vl::FUSE_RENAME, &FuseServer::rename },
    { vl::FUSE_GETXATTR, &FuseServer::getxattr },
    { vl::FUSE_LISTXATTR, &FuseServer::listxattr },
    { vl::FUSE_SETXATTR, &FuseServer::setxattr },
    { vl::FUSE_REMOVEXATTR, &FuseServer::removexattr },
    { vl::FUSE_ACCESS, &FuseServer::access },
    { vl::FUSE_SETVOLNAME, &FuseServer::setvolname },
};

FuseServer::FuseServer(int socket, FileSystemBackend& backend, DaemonFeatures features)
    : socket(socket)
    , backend(backend)
    , features(features)
{
}

FuseServer::~FuseServer()
{
    close(socket);
}

FuseServer::Ending FuseServer::serve()
{
    std::vector<std::thread> others;
    for (std::size_t index = 1; index < threadCount; ++index)
        others.emplace_back([this] { takeTurns(); });
    takeTurns();
    for (std::thread& thread : others)
        thread.join();
    return *ending;
}

void FuseServer::takeTurns()
{
    for (;;) {
        std::unique_lock myTurn(turn);
        // The thread that ended the session kept the turn until every request it had read was
        // answered; the others leave one by one.
        if (ending)
            return;
        Ending end = Ending::peerClosed;
        std::optional<FuseRequest> request = readRequest(end);
        if (!request) {
            waitUntilAllAnswered();
            ending = end;
            return;
        }
        os::signpostEvent("daemon.received");
        if (features.trace)
            daemonLog().info("request opcode %s unique %s node %s", request->header.opcode,
                request->header.unique, request->header.nodeid);
        switch (request->header.opcode) {
        case vl::FUSE_FORGET:
            forget(*request);
            continue;
        case vl::FUSE_DESTROY:
            waitUntilAllAnswered();
            if (answer(*request) == 0)
                ending = Ending::destroyed;
            continue;
        default:
            break;
        }
        {
            std::lock_guard counting(answeringLock);
            ++answering;
        }
        myTurn.unlock();
        answer(*request);
        std::lock_guard counting(answeringLock);
        if (--answering == 0)
            allAnswered.notify_all();
    }
}

void FuseServer::waitUntilAllAnswered()
{
    std::unique_lock counting(answeringLock);
    allAnswered.wait(counting, [this] { return answering == 0; });
}

// A read that fails, like the stream ending, ends the session as the peer closing it.
bool FuseServer::readExactly(std::span<std::byte> buffer)
{
    try {
        return foundation::readCompletely(socket, buffer) == buffer.size();
    } catch (const foundation::POSIXError&) {
        return false;
    }
}

std::optional<FuseRequest> FuseServer::readRequest(Ending& ending)
{
    vl::fuse_in_header header {};
    std::span<std::byte> headerBytes(reinterpret_cast<std::byte*>(&header), sizeof(header));
    if (!readExactly(headerBytes)) {
        ending = Ending::peerClosed;
        return std::nullopt;
    }
    if (header.len < sizeof(header) || header.len > maximumRequestLength) {
        ending = Ending::protocolError;
        return std::nullopt;
    }
    Bytes body(header.len - sizeof(header));
    if (!readExactly(body)) {
        ending = Ending::peerClosed;
        return std::nullopt;
    }
    return FuseRequest(header, std::move(body));
}

std::int32_t FuseServer::answer(const FuseRequest& request)
{
    std::int32_t error = posix::enosys;
    Payload payload;
    for (const Route& route : routes) {
        if (route.opcode != request.header.opcode)
            continue;
        try {
            payload = (this->*route.handler)(request);
            error = 0;
        } catch (const foundation::POSIXError& failure) {
            error = failure.errnoCode();
        } catch (const FuseRequest::Malformed&) {
            error = posix::einval;
        } catch (const std::bad_alloc&) {
            error = posix::enomem;
        } catch (const std::exception&) {
            error = posix::eio;
        }
        break;
    }
    reply(request.header.unique, -error, payload);
    return error;
}

void FuseServer::reply(std::uint64_t unique, std::int32_t error, std::span<const std::byte> payload)
{
    vl::fuse_out_header header {};
    header.len = static_cast<std::uint32_t>(sizeof(header) + (error == 0 ? payload.size() : 0));
    header.error = error;
    header.unique = unique;
    iovec parts[2] = { { &header, sizeof(header) },
        { const_cast<std::byte*>(payload.data()), error == 0 ? payload.size() : 0 } };
    std::size_t total = header.len;
    std::size_t sent = 0;
    os::signpostEvent("daemon.reply");
    int first = 0;
    std::lock_guard lock(writeLock);
    while (sent < total) {
        msghdr message {};
        message.msg_iov = parts + first;
        message.msg_iovlen = static_cast<std::size_t>(2 - first);
        ssize_t count = sendmsg(socket, &message, MSG_NOSIGNAL);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return; // the peer is gone; the next read ends the session
        }
        sent += static_cast<std::size_t>(count);
        // Drop what was written from the front of the vector.
        std::size_t left = static_cast<std::size_t>(count);
        while (first < 2 && left >= parts[first].iov_len) {
            left -= parts[first].iov_len;
            ++first;
        }
        if (first < 2) {
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + left;
            parts[first].iov_len -= left;
        }
    }
}

void FuseServer::forget(const FuseRequest& request)
{
    // A malformed FORGET is dropped: there is no reply to refuse it with.
    if (request.body.size() != sizeof(vl::fuse_forget_in))
        return;
    backend.forget(request.header.nodeid, request.fixed<vl::fuse_forget_in>().nlookup);
}

FuseServer::Payload FuseServer::init(const FuseRequest& request)
{
    auto offered = request.fixed<vl::fuse_init_in>();
    request.requireBodySize(sizeof(vl::fuse_init_in));
    if (offered.major < 7)
        throw foundation::POSIXError(posix::eproto, "FUSE major version below 7");
    std::uint32_t announced = 0;
    if (features.caseInsensitive)
        announced |= vl::FUSE_INIT_CASE_INSENSITIVE;
    if (features.volumeRename)
        announced |= vl::FUSE_INIT_VOLUME_RENAME;
    if (features.extendedAccess)
        announced |= vl::FUSE_INIT_EXTENDED_ACCESS;
    vl::fuse_init_out answer {};
    answer.major = 7;
    answer.minor = 19;
    answer.max_readahead = offered.max_readahead;
    answer.flags = announced & offered.flags;
    answer.max_write = maximumWrite;
    return bytesOf(answer);
}

FuseServer::Payload FuseServer::statfs(const FuseRequest& request)
{
    request.requireBodySize(0);
    vl::fuse_statfs_out answer {};
    answer.st = backend.statistics();
    answer.st.bsize = maximumWrite;
    return bytesOf(answer);
}

FuseServer::Payload FuseServer::destroy(const FuseRequest& request)
{
    request.requireBodySize(0);
    return {};
}

FuseServer::Payload FuseServer::getattr(const FuseRequest& request)
{
    request.requireBodySize(sizeof(vl::fuse_getattr_in));
    vl::fuse_attr_out answer {};
    answer.attr_valid = validitySeconds;
    answer.attr = backend.attributes(request.header.nodeid);
    return bytesOf(answer);
}

FuseServer::Payload FuseServer::setattr(const FuseRequest& request)
{
    request.requireBodySize(sizeof(vl::fuse_setattr_in));
    AttributeChanges changes = AttributeChanges::from(request.fixed<vl::fuse_setattr_in>());
    vl::fuse_attr_out answer {};
    answer.attr_valid = validitySeconds;
    answer.attr = backend.setAttributes(request.header.nodeid, changes);
    return bytesOf(answer);
}

FuseServer::Payload FuseServer::lookup(const FuseRequest& request)
{
    return bytesOf(entryOf(backend.lookup(request.header.nodeid, request.name())));
}

vl::fuse_entry_out FuseServer::entryOf(const vl::fuse_attr& attributes)
{
    vl::fuse_entry_out entry {};
    entry.attr = attributes;
    entry.nodeid = attributes.ino;
    entry.entry_valid = validitySeconds;
    entry.attr_valid = validitySeconds;
    return entry;
}

} // namespace fused
