// PassthroughFileSystem: making files, directories, special files and links.
#include "vorlane-fused/PassthroughFileSystem.h"

#include "Platform/Foundation/POSIXErrorCode.h"
#include "vorlane-fused/BackendSupport.h"
#include "vorlane-fused/DarwinFlags.h"
#include "vorlane-fused/LinuxCalls.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <optional>
#include <sys/sysmacros.h>
#include <tuple>
#include <unistd.h>

namespace fused {

using namespace linuxcalls;

namespace {

// An O_PATH descriptor of `name` in the directory `directory` names, never following it.
int pathDescriptor(int directory, std::string_view name)
{
    const int descriptor = ::openat(directory, std::string(name).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    check(descriptor, "find what was made");
    return descriptor;
}

// Gives a new file exactly the permission bits asked for, which the daemon's umask may have
// narrowed; a set-group-ID bit that a directory inherited from its parent stays.
void settleMode(int descriptor, std::uint32_t mode)
{
    const struct statx made = status(descriptor);
    std::uint32_t wanted = mode & 07777;
    if (S_ISDIR(made.stx_mode))
        wanted |= made.stx_mode & S_ISGID;
    if ((made.stx_mode & 07777) != wanted && !S_ISLNK(made.stx_mode))
        check(::fchmodat(AT_FDCWD, procPath(descriptor).c_str(), wanted, 0), "chmod what was made");
}

} // namespace

Created PassthroughFileSystem::create(
    std::uint64_t parent, std::string_view name, std::uint32_t darwinFlags, std::uint32_t mode)
{
    const LinuxOpen wanted = linuxOpenFromDarwin(darwinFlags);
    std::shared_ptr<Node> directory = existing(parent);
    const int descriptor = ::openat(directory->descriptor, std::string(name).c_str(),
        wanted.flags | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode & 07777);
    check(descriptor, "create");
    // The open descriptor is what create answers; the node gets its own O_PATH one, of the very
    // file that was opened.
    const int path = ::open(procPath(descriptor).c_str(), O_PATH | O_CLOEXEC);
    if (path < 0) {
        const int error = errno;
        ::close(descriptor);
        errno = error;
        failFromLinux("create");
    }
    Created created {};
    try {
        settleMode(path, mode);
        created.attributes = adopt(parent, name, path);
        created.handle
            = addHandle(created.attributes.ino, existing(created.attributes.ino), descriptor, false);
    } catch (...) {
        ::close(descriptor);
        throw;
    }
    return created;
}

vl::fuse_attr PassthroughFileSystem::createDirectory(
    std::uint64_t parent, std::string_view name, std::uint32_t mode)
{
    std::shared_ptr<Node> directory = existing(parent);
    check(::mkdirat(directory->descriptor, std::string(name).c_str(), mode & 07777), "mkdir");
    const int path = pathDescriptor(directory->descriptor, name);
    settleMode(path, mode);
    return adopt(parent, name, path);
}

vl::fuse_attr PassthroughFileSystem::createNode(
    std::uint64_t parent, std::string_view name, std::uint32_t mode, std::uint32_t rdev)
{
    const std::uint32_t type = mode & S_IFMT;
    std::shared_ptr<Node> directory = existing(parent);
    check(
        ::mknodat(directory->descriptor, std::string(name).c_str(), type | (mode & 07777), linuxDevice(rdev)),
        "mknod");
    const int path = pathDescriptor(directory->descriptor, name);
    settleMode(path, mode);
    return adopt(parent, name, path);
}

vl::fuse_attr PassthroughFileSystem::createSymbolicLink(
    std::uint64_t parent, std::string_view name, std::string_view target)
{
    std::shared_ptr<Node> directory = existing(parent);
    check(::symlinkat(std::string(target).c_str(), directory->descriptor, std::string(name).c_str()),
        "symlink");
    return adopt(parent, name, pathDescriptor(directory->descriptor, name));
}

vl::fuse_attr PassthroughFileSystem::link(std::uint64_t node, std::uint64_t parent, std::string_view name)
{
    std::shared_ptr<Node> target = existing(node);
    std::shared_ptr<Node> directory = existing(parent);
    // Through /proc, which needs no privilege (AT_EMPTY_PATH does); following the /proc link
    // reaches the node itself, a symbolic link too.
    check(::linkat(AT_FDCWD, procPath(target->descriptor).c_str(), directory->descriptor,
              std::string(name).c_str(), AT_SYMLINK_FOLLOW),
        "link");
    return adopt(parent, name, pathDescriptor(directory->descriptor, name));
}

std::string PassthroughFileSystem::readSymbolicLink(std::uint64_t node)
{
    std::shared_ptr<Node> target = existing(node);
    std::string contents(256, '\0');
    for (;;) {
        const ssize_t count = ::readlinkat(target->descriptor, "", contents.data(), contents.size());
        if (count < 0 && errno == ENOENT)
            fail(posix::einval, "read what is not a symbolic link");
        check(count, "readlink");
        if (static_cast<std::size_t>(count) < contents.size()) {
            contents.resize(static_cast<std::size_t>(count));
            return contents;
        }
        contents.resize(contents.size() * 2);
    }
}

} // namespace fused

namespace fused {

void PassthroughFileSystem::remove(std::uint64_t parent, std::string_view name, bool directory)
{
    std::shared_ptr<Node> folder = existing(parent);
    check(::unlinkat(folder->descriptor, std::string(name).c_str(), directory ? AT_REMOVEDIR : 0),
        directory ? "rmdir" : "unlink");
}

void PassthroughFileSystem::rename(std::uint64_t parent, std::string_view name, std::uint64_t newParent,
    std::string_view newName, std::uint32_t darwinFlags)
{
    const unsigned flags = linuxRenameFlagsFromDarwin(darwinFlags);
    std::shared_ptr<Node> from = existing(parent);
    std::shared_ptr<Node> to = existing(newParent);
    const std::string source(name), target(newName);
    // What the names are before, so that their nodes' places can follow them.
    auto identityOf = [](int directory, const std::string& entry) -> std::optional<Identity> {
        struct statx found { };
        if (::statx(directory, entry.c_str(), AT_SYMLINK_NOFOLLOW, STATX_INO, &found) < 0)
            return std::nullopt;
        return Identity { makedev(found.stx_dev_major, found.stx_dev_minor), found.stx_ino };
    };
    const std::optional<Identity> moving = identityOf(from->descriptor, source);
    const std::optional<Identity> swapped
        = (flags & RENAME_EXCHANGE) ? identityOf(to->descriptor, target) : std::nullopt;
    check(::renameat2(from->descriptor, source.c_str(), to->descriptor, target.c_str(), flags), "rename");
    os::UnfairLockGuard guard(lock);
    for (auto [identity, place, entry] :
        { std::tuple(moving, newParent, newName), std::tuple(swapped, parent, name) }) {
        auto known = identity ? ids.find(*identity) : ids.end();
        if (known != ids.end())
            places[known->second] = Place { place, std::string(entry), *identity };
    }
}

} // namespace fused
