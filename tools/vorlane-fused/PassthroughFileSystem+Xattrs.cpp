// PassthroughFileSystem: extended attributes.
#include "vorlane-fused/PassthroughFileSystem.h"

#include "vorlane-fused/DarwinFlags.h"
#include "vorlane-fused/LinuxCalls.h"

#include <sys/xattr.h>

namespace fused {

using namespace linuxcalls;

std::size_t PassthroughFileSystem::xattr(std::uint64_t node, std::string_view name, std::span<std::byte> into)
{
    std::shared_ptr<Node> target = existing(node);
    const ssize_t size = ::getxattr(
        procPath(target->descriptor).c_str(), std::string(name).c_str(), into.data(), into.size());
    check(size, "getxattr");
    return static_cast<std::size_t>(size);
}

std::size_t PassthroughFileSystem::listXattrs(std::uint64_t node, std::span<std::byte> into)
{
    std::shared_ptr<Node> target = existing(node);
    const ssize_t size = ::listxattr(
        procPath(target->descriptor).c_str(), reinterpret_cast<char*>(into.data()), into.size());
    check(size, "listxattr");
    return static_cast<std::size_t>(size);
}

void PassthroughFileSystem::setXattr(
    std::uint64_t node, std::string_view name, std::span<const std::byte> value, std::uint32_t darwinFlags)
{
    const LinuxXattr flags = linuxXattrFromDarwin(darwinFlags);
    std::shared_ptr<Node> target = existing(node);
    check(::setxattr(procPath(target->descriptor).c_str(), std::string(name).c_str(), value.data(),
              value.size(), flags.flags),
        "setxattr");
}

void PassthroughFileSystem::removeXattr(std::uint64_t node, std::string_view name)
{
    std::shared_ptr<Node> target = existing(node);
    check(::removexattr(procPath(target->descriptor).c_str(), std::string(name).c_str()), "removexattr");
}

} // namespace fused
