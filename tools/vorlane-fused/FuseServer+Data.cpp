// FuseServer: opening, reading, writing, listing, synchronising and releasing files and
// directories.
#include "vorlane-fused/DaemonLog.h"
#include "vorlane-fused/FuseServer.h"

#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/POSIXErrorCode.h"

namespace fused {
namespace {

// fuse_fsync_in.fsync_flags: synchronise the data only, not the attributes.
constexpr std::uint32_t fsyncDataOnly = 1;

} // namespace

FuseServer::Payload FuseServer::open(const FuseRequest& request)
{
    request.requireBodySize(sizeof(vl::fuse_open_in));
    vl::fuse_open_out answer {};
    answer.fh = backend.open(request.header.nodeid, request.fixed<vl::fuse_open_in>().flags);
    return bytesOf(answer);
}

FuseServer::Payload FuseServer::opendir(const FuseRequest& request)
{
    request.requireBodySize(sizeof(vl::fuse_open_in));
    vl::fuse_open_out answer {};
    answer.fh = backend.openDirectory(request.header.nodeid);
    return bytesOf(answer);
}

FuseServer::Payload FuseServer::release(const FuseRequest& request)
{
    request.requireBodySize(sizeof(vl::fuse_release_in));
    backend.release(request.header.nodeid, request.fixed<vl::fuse_release_in>().fh, false);
    return {};
}

FuseServer::Payload FuseServer::releasedir(const FuseRequest& request)
{
    request.requireBodySize(sizeof(vl::fuse_release_in));
    backend.release(request.header.nodeid, request.fixed<vl::fuse_release_in>().fh, true);
    return {};
}

FuseServer::Payload FuseServer::read(const FuseRequest& request)
{
    request.requireBodySize(sizeof(vl::fuse_read_in));
    const auto asked = request.fixed<vl::fuse_read_in>();
    if (asked.size > maximumWrite)
        throw foundation::POSIXError(posix::einval, "read more than the largest transfer");
    // The backend reads straight into the reply.
    Payload data(asked.size);
    data.resize(backend.read(request.header.nodeid, asked.fh, asked.offset, data));
    return data;
}

FuseServer::Payload FuseServer::write(const FuseRequest& request)
{
    const auto asked = request.fixed<vl::fuse_write_in>();
    // Written from the request's own buffer.
    std::span<const std::byte> data = request.data(sizeof(vl::fuse_write_in));
    if (data.size() != asked.size)
        throw FuseRequest::Malformed("write size other than the data it carries");
    vl::fuse_write_out answer {};
    answer.size
        = static_cast<std::uint32_t>(backend.write(request.header.nodeid, asked.fh, asked.offset, data));
    return bytesOf(answer);
}

FuseServer::Payload FuseServer::readdir(const FuseRequest& request)
{
    request.requireBodySize(sizeof(vl::fuse_read_in));
    const auto asked = request.fixed<vl::fuse_read_in>();
    if (asked.size > maximumWrite)
        throw foundation::POSIXError(posix::einval, "list more than the largest transfer");
    Payload records(asked.size);
    DirectoryListing listing(records);
    backend.readDirectory(request.header.nodeid, asked.fh, asked.offset, listing);
    records.resize(listing.size());
    return records;
}

FuseServer::Payload FuseServer::fsync(const FuseRequest& request)
{
    request.requireBodySize(sizeof(vl::fuse_fsync_in));
    const auto asked = request.fixed<vl::fuse_fsync_in>();
    if (features.trace)
        daemonLog().info("fsync node %s flags %s", request.header.nodeid, asked.fsync_flags);
    backend.synchronize(request.header.nodeid, asked.fh, false, (asked.fsync_flags & fsyncDataOnly) != 0);
    return {};
}

FuseServer::Payload FuseServer::fsyncdir(const FuseRequest& request)
{
    request.requireBodySize(sizeof(vl::fuse_fsync_in));
    const auto asked = request.fixed<vl::fuse_fsync_in>();
    if (features.trace)
        daemonLog().info("fsyncdir node %s flags %s", request.header.nodeid, asked.fsync_flags);
    backend.synchronize(request.header.nodeid, asked.fh, true, (asked.fsync_flags & fsyncDataOnly) != 0);
    return {};
}

} // namespace fused
