// FuseServer: extended attributes, access checks and the volume's name.
#include "vorlane-fused/FuseServer.h"

#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/POSIXErrorCode.h"
#include "vorlane-fused/AccessCheck.h"
#include "vorlane-fused/DaemonLog.h"

namespace fused {
namespace {

// A reply of `size` bytes, or of its length alone when the request asked for none (size 0).
template <typename Fill> Bytes sizedAnswer(std::uint32_t size, Fill&& fill)
{
    if (size == 0) {
        vl::fuse_getxattr_out answer {};
        answer.size = static_cast<std::uint32_t>(fill(std::span<std::byte>()));
        return bytesOf(answer);
    }
    Bytes bytes(size);
    bytes.resize(fill(std::span<std::byte>(bytes)));
    return bytes;
}

} // namespace

void FuseServer::requireExtendedAttributes() const
{
    if (!features.extendedAttributes)
        throw foundation::POSIXError(posix::enosys, "extended attributes are not served");
}

FuseServer::Payload FuseServer::getxattr(const FuseRequest& request)
{
    requireExtendedAttributes();
    const auto asked = request.fixed<vl::fuse_getxattr_in>();
    const std::string_view name = request.name(sizeof(asked));
    if (asked.position != 0 || asked.size > maximumWrite)
        throw foundation::POSIXError(posix::einval, "read an extended attribute from a position");
    return sizedAnswer(asked.size,
        [&](std::span<std::byte> into) { return backend.xattr(request.header.nodeid, name, into); });
}

FuseServer::Payload FuseServer::listxattr(const FuseRequest& request)
{
    requireExtendedAttributes();
    request.requireBodySize(sizeof(vl::fuse_getxattr_in));
    const auto asked = request.fixed<vl::fuse_getxattr_in>();
    if (asked.position != 0 || asked.size > maximumWrite)
        throw foundation::POSIXError(posix::einval, "list extended attributes from a position");
    return sizedAnswer(asked.size,
        [&](std::span<std::byte> into) { return backend.listXattrs(request.header.nodeid, into); });
}

FuseServer::Payload FuseServer::setxattr(const FuseRequest& request)
{
    requireExtendedAttributes();
    const auto asked = request.fixed<vl::fuse_setxattr_in>();
    const auto [name, value] = request.nameAndData(sizeof(asked));
    if (value.size() != asked.size)
        throw FuseRequest::Malformed("extended attribute size other than the value it carries");
    if (asked.position != 0)
        throw foundation::POSIXError(posix::einval, "write an extended attribute at a position");
    backend.setXattr(request.header.nodeid, name, value, asked.flags);
    return {};
}

FuseServer::Payload FuseServer::removexattr(const FuseRequest& request)
{
    requireExtendedAttributes();
    backend.removeXattr(request.header.nodeid, request.name());
    return {};
}

FuseServer::Payload FuseServer::access(const FuseRequest& request)
{
    request.requireBodySize(sizeof(vl::fuse_access_in));
    checkAccess(backend.attributes(request.header.nodeid), request.header.uid, request.header.gid,
        request.fixed<vl::fuse_access_in>().mask);
    return {};
}

FuseServer::Payload FuseServer::setvolname(const FuseRequest& request)
{
    std::string given(request.name());
    daemonLog().info("Volume renamed to \"%s\"", given);
    std::lock_guard lock(nameLock);
    name = std::move(given);
    return {};
}

std::string FuseServer::volumeName()
{
    std::lock_guard lock(nameLock);
    return name;
}

} // namespace fused
