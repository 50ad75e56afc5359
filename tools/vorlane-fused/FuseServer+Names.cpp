// FuseServer: making, removing and renaming names, and reading links.
#include "vorlane-fused/FuseServer.h"

#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/POSIXErrorCode.h"

#include <sys/stat.h>

namespace fused {
namespace {

// A name to make: one path component of at most 255 bytes.
std::string_view component(std::string_view name)
{
    if (name == "." || name == ".." || name.find('/') != std::string_view::npos)
        throw foundation::POSIXError(posix::einval, "make a name that is not one component");
    if (name.size() > 255)
        throw foundation::POSIXError(posix::enametoolong, "make a name longer than 255 bytes");
    return name;
}

} // namespace

FuseServer::Payload FuseServer::create(const FuseRequest& request)
{
    const auto asked = request.fixed<vl::fuse_create_in>();
    const std::string_view name = component(request.name(sizeof(asked)));
    Created created
        = backend.create(request.header.nodeid, name, asked.flags, asked.mode & ~asked.umask & 07777);
    vl::fuse_open_out opened {};
    opened.fh = created.handle;
    return bytesOf(entryOf(created.attributes), opened);
}

FuseServer::Payload FuseServer::mkdir(const FuseRequest& request)
{
    const auto asked = request.fixed<vl::fuse_mkdir_in>();
    const std::string_view name = component(request.name(sizeof(asked)));
    return bytesOf(
        entryOf(backend.createDirectory(request.header.nodeid, name, asked.mode & ~asked.umask & 07777)));
}

FuseServer::Payload FuseServer::mknod(const FuseRequest& request)
{
    const auto asked = request.fixed<vl::fuse_mknod_in>();
    const std::string_view name = component(request.name(sizeof(asked)));
    std::uint32_t type = asked.mode & S_IFMT;
    if (type == 0)
        type = S_IFREG;
    if (type != S_IFREG && type != S_IFIFO && type != S_IFSOCK && type != S_IFCHR && type != S_IFBLK)
        throw foundation::POSIXError(posix::einval, "mknod of a type it does not make");
    const std::uint32_t mode = type | (asked.mode & ~asked.umask & 07777);
    return bytesOf(entryOf(backend.createNode(request.header.nodeid, name, mode, asked.rdev)));
}

FuseServer::Payload FuseServer::symlink(const FuseRequest& request)
{
    const auto [name, target] = request.twoNames();
    return bytesOf(entryOf(backend.createSymbolicLink(request.header.nodeid, component(name), target)));
}

FuseServer::Payload FuseServer::link(const FuseRequest& request)
{
    const auto asked = request.fixed<vl::fuse_link_in>();
    const std::string_view name = component(request.name(sizeof(asked)));
    return bytesOf(entryOf(backend.link(asked.oldnodeid, request.header.nodeid, name)));
}

FuseServer::Payload FuseServer::readlink(const FuseRequest& request)
{
    request.requireBodySize(0);
    const std::string target = backend.readSymbolicLink(request.header.nodeid);
    const auto* bytes = reinterpret_cast<const std::byte*>(target.data());
    return Payload(bytes, bytes + target.size());
}

FuseServer::Payload FuseServer::unlink(const FuseRequest& request)
{
    backend.remove(request.header.nodeid, request.name(), false);
    return {};
}

FuseServer::Payload FuseServer::rmdir(const FuseRequest& request)
{
    backend.remove(request.header.nodeid, request.name(), true);
    return {};
}

FuseServer::Payload FuseServer::rename(const FuseRequest& request)
{
    const auto asked = request.fixed<vl::fuse_rename_in>();
    const auto [name, newName] = request.twoNames(sizeof(asked));
    backend.rename(request.header.nodeid, name, asked.newdir, component(newName), asked.flags);
    return {};
}

} // namespace fused
