// MemoryFileSystem: making files, directories, special files and links.
#include "vorlane-fused/MemoryFileSystem.h"

#include "vorlane-fused/BackendSupport.h"
#include "vorlane-fused/DarwinFlags.h"
#include "Platform/Foundation/POSIXErrorCode.h"

namespace fused {

Created MemoryFileSystem::create(std::uint64_t parent, std::string_view name, std::uint32_t darwinFlags,
                                 std::uint32_t mode)
{
    linuxOpenFromDarwin(darwinFlags);
    os::UnfairLockGuard guard(lock);
    std::uint64_t id;
    Node& directory = existing(parent);
    auto child = S_ISDIR(directory.attributes.mode) ? directory.children.find(key(name)) : directory.children.end();
    if (child == directory.children.end()) {
        id = insertLocked(parent, name, S_IFREG | (mode & 07777), {});
    } else {
        if (darwinFlags & darwin::o_excl)
            fail(posix::eexist, "create exclusively under a name that is taken");
        id = directory.entries.at(child->second).node;
        Node& found = existing(id);
        if (S_ISDIR(found.attributes.mode))
            fail(posix::eisdir, "create over a directory");
        if (!S_ISREG(found.attributes.mode))
            fail(posix::eexist, "create over a special file");
        if (darwinFlags & darwin::o_trunc)
            resize(found, 0, now());
    }
    Node& file = existing(id);
    ++file.lookups;
    return Created{file.attributes, addHandle(id, darwinFlags & ~(darwin::o_creat | darwin::o_excl | darwin::o_trunc), false)};
}

vl::fuse_attr MemoryFileSystem::createDirectory(std::uint64_t parent, std::string_view name, std::uint32_t mode)
{
    os::UnfairLockGuard guard(lock);
    Node& made = existing(insertLocked(parent, name, S_IFDIR | (mode & 07777), {}));
    ++made.lookups;
    return made.attributes;
}

vl::fuse_attr MemoryFileSystem::createNode(std::uint64_t parent, std::string_view name, std::uint32_t mode,
                                           std::uint32_t rdev)
{
    std::uint32_t type = mode & S_IFMT;
    if (type == 0)
        type = S_IFREG;
    if (type != S_IFREG && type != S_IFIFO && type != S_IFSOCK && type != S_IFCHR && type != S_IFBLK)
        fail(posix::einval, "mknod of a type it does not make");
    os::UnfairLockGuard guard(lock);
    Node& made = existing(insertLocked(parent, name, type | (mode & 07777), {}));
    if (type == S_IFCHR || type == S_IFBLK)
        made.attributes.rdev = rdev;
    ++made.lookups;
    return made.attributes;
}

vl::fuse_attr MemoryFileSystem::createSymbolicLink(std::uint64_t parent, std::string_view name,
                                                   std::string_view target)
{
    os::UnfairLockGuard guard(lock);
    Node& made = existing(insertLocked(parent, name, S_IFLNK | 0777, std::string(target)));
    ++made.lookups;
    return made.attributes;
}

vl::fuse_attr MemoryFileSystem::link(std::uint64_t node, std::uint64_t parent, std::string_view name)
{
    os::UnfairLockGuard guard(lock);
    if (S_ISDIR(existing(node).attributes.mode))
        fail(posix::eperm, "link a directory");
    addEntry(parent, name, node);
    Node& target = existing(node);
    ++target.attributes.nlink;
    setTime(target.attributes.ctime, target.attributes.ctimensec, now());
    ++target.lookups;
    return target.attributes;
}

std::string MemoryFileSystem::readSymbolicLink(std::uint64_t node)
{
    os::UnfairLockGuard guard(lock);
    const Node& link = existing(node);
    if (!S_ISLNK(link.attributes.mode))
        fail(posix::einval, "read what is not a symbolic link");
    return link.contents;
}

} // namespace fused
