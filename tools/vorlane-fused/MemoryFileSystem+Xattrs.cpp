// MemoryFileSystem: extended attributes.
#include "vorlane-fused/MemoryFileSystem.h"

#include "Platform/Foundation/POSIXErrorCode.h"
#include "vorlane-fused/BackendSupport.h"
#include "vorlane-fused/DarwinFlags.h"

#include <cstring>

namespace fused {
namespace {

constexpr std::size_t largestValue = 65536;

// Linux's size convention: the size alone for an empty buffer, ERANGE for one too small.
std::size_t answer(std::string_view bytes, std::span<std::byte> into)
{
    if (into.empty())
        return bytes.size();
    if (into.size() < bytes.size())
        fail(posix::erange, "extended attribute larger than the buffer");
    std::memcpy(into.data(), bytes.data(), bytes.size());
    return bytes.size();
}

} // namespace

std::size_t MemoryFileSystem::xattr(std::uint64_t node, std::string_view name, std::span<std::byte> into)
{
    os::UnfairLockGuard guard(lock);
    const Node& target = existing(node);
    auto found = target.xattrs.find(std::string(name));
    if (found == target.xattrs.end())
        fail(posix::enoattr, "no such extended attribute");
    return answer(found->second, into);
}

std::size_t MemoryFileSystem::listXattrs(std::uint64_t node, std::span<std::byte> into)
{
    os::UnfairLockGuard guard(lock);
    std::string names;
    for (const auto& [name, value] : existing(node).xattrs)
        names.append(name).push_back('\0');
    return answer(names, into);
}

void MemoryFileSystem::setXattr(
    std::uint64_t node, std::string_view name, std::span<const std::byte> value, std::uint32_t darwinFlags)
{
    linuxXattrFromDarwin(darwinFlags);
    if (value.size() > largestValue)
        fail(posix::e2big, "extended attribute value larger than 64 KiB");
    os::UnfairLockGuard guard(lock);
    Node& target = existing(node);
    const bool exists = target.xattrs.contains(std::string(name));
    if (exists && (darwinFlags & darwin::xattr_create))
        fail(posix::eexist, "create an extended attribute that exists");
    if (!exists && (darwinFlags & darwin::xattr_replace))
        fail(posix::enoattr, "replace an extended attribute that does not exist");
    target.xattrs[std::string(name)].assign(reinterpret_cast<const char*>(value.data()), value.size());
    touch(target, false);
}

void MemoryFileSystem::removeXattr(std::uint64_t node, std::string_view name)
{
    os::UnfairLockGuard guard(lock);
    Node& target = existing(node);
    if (target.xattrs.erase(std::string(name)) == 0)
        fail(posix::enoattr, "remove an extended attribute that does not exist");
    touch(target, false);
}

} // namespace fused
