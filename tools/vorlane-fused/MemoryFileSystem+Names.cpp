// MemoryFileSystem: making files, directories, special files and links.
#include "vorlane-fused/MemoryFileSystem.h"

#include "Platform/Foundation/POSIXErrorCode.h"
#include "vorlane-fused/BackendSupport.h"
#include "vorlane-fused/DarwinFlags.h"

namespace fused {

Created MemoryFileSystem::create(
    std::uint64_t parent, std::string_view name, std::uint32_t darwinFlags, std::uint32_t mode)
{
    linuxOpenFromDarwin(darwinFlags);
    os::UnfairLockGuard guard(lock);
    std::uint64_t id;
    Node& directory = existing(parent);
    auto child
        = S_ISDIR(directory.attributes.mode) ? directory.children.find(key(name)) : directory.children.end();
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
    return Created { file.attributes,
        addHandle(id, darwinFlags & ~(darwin::o_creat | darwin::o_excl | darwin::o_trunc), false) };
}

vl::fuse_attr MemoryFileSystem::createDirectory(
    std::uint64_t parent, std::string_view name, std::uint32_t mode)
{
    os::UnfairLockGuard guard(lock);
    Node& made = existing(insertLocked(parent, name, S_IFDIR | (mode & 07777), {}));
    ++made.lookups;
    return made.attributes;
}

vl::fuse_attr MemoryFileSystem::createNode(
    std::uint64_t parent, std::string_view name, std::uint32_t mode, std::uint32_t rdev)
{
    const std::uint32_t type = mode & S_IFMT;
    os::UnfairLockGuard guard(lock);
    Node& made = existing(insertLocked(parent, name, type | (mode & 07777), {}));
    if (type == S_IFCHR || type == S_IFBLK)
        made.attributes.rdev = rdev;
    ++made.lookups;
    return made.attributes;
}

vl::fuse_attr MemoryFileSystem::createSymbolicLink(
    std::uint64_t parent, std::string_view name, std::string_view target)
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

namespace fused {

void MemoryFileSystem::touch(Node& node, bool modified)
{
    const timespec changed = now();
    if (modified)
        setTime(node.attributes.mtime, node.attributes.mtimensec, changed);
    setTime(node.attributes.ctime, node.attributes.ctimensec, changed);
}

bool MemoryFileSystem::isWithin(std::uint64_t node, std::uint64_t ancestor)
{
    for (std::uint64_t step = node;; step = existing(step).parent) {
        if (step == ancestor)
            return true;
        if (step == 1)
            return false;
    }
}

void MemoryFileSystem::removeEntry(std::uint64_t parent, std::uint64_t sequence)
{
    Node& directory = existing(parent);
    auto entry = directory.entries.find(sequence);
    const std::uint64_t id = entry->second.node;
    directory.children.erase(key(entry->second.name));
    directory.entries.erase(entry);
    touch(directory, true);
    Node& node = existing(id);
    if (S_ISDIR(node.attributes.mode)) {
        node.attributes.nlink = 0;
        --directory.attributes.nlink;
    } else {
        --node.attributes.nlink;
    }
    touch(node, false);
    dropIfUnused(id);
}

void MemoryFileSystem::remove(std::uint64_t parent, std::string_view name, bool directory)
{
    os::UnfairLockGuard guard(lock);
    Node& folder = existing(parent);
    if (!S_ISDIR(folder.attributes.mode))
        fail(posix::enotdir, "remove from a file");
    auto child = folder.children.find(key(name));
    if (child == folder.children.end())
        fail(posix::enoent, "remove a name that does not exist");
    const Node& node = existing(folder.entries.at(child->second).node);
    if (directory && !S_ISDIR(node.attributes.mode))
        fail(posix::enotdir, "rmdir of a file");
    if (!directory && S_ISDIR(node.attributes.mode))
        fail(posix::eisdir, "unlink of a directory");
    if (directory && !node.entries.empty())
        fail(posix::enotempty, "rmdir of a directory that is not empty");
    removeEntry(parent, child->second);
}

void MemoryFileSystem::rename(std::uint64_t parent, std::string_view name, std::uint64_t newParent,
    std::string_view newName, std::uint32_t darwinFlags)
{
    linuxRenameFlagsFromDarwin(darwinFlags);
    os::UnfairLockGuard guard(lock);
    Node& from = existing(parent);
    Node& to = existing(newParent);
    if (!S_ISDIR(from.attributes.mode) || !S_ISDIR(to.attributes.mode))
        fail(posix::enotdir, "rename in a file");
    auto source = from.children.find(key(name));
    if (source == from.children.end())
        fail(posix::enoent, "rename a name that does not exist");
    const std::uint64_t sourceSequence = source->second;
    const std::uint64_t id = from.entries.at(sourceSequence).node;
    Node& moving = existing(id);
    if (S_ISDIR(moving.attributes.mode) && isWithin(newParent, id))
        fail(posix::einval, "move a directory beneath itself");
    auto target = to.children.find(key(newName));
    if (darwinFlags & darwin::rename_swap) {
        if (target == to.children.end())
            fail(posix::enoent, "swap with a name that does not exist");
        Entry& otherEntry = to.entries.at(target->second);
        const std::uint64_t otherId = otherEntry.node;
        Node& other = existing(otherId);
        if (S_ISDIR(other.attributes.mode) && isWithin(parent, otherId))
            fail(posix::einval, "move a directory beneath itself");
        // The names stay where they are, each now naming the other node.
        from.entries.at(sourceSequence).node = otherId;
        otherEntry.node = id;
        if (parent != newParent) {
            for (auto [node, gone, gained, place] :
                { std::tuple(&moving, &from, &to, newParent), std::tuple(&other, &to, &from, parent) })
                if (S_ISDIR(node->attributes.mode)) {
                    node->parent = place;
                    --gone->attributes.nlink;
                    ++gained->attributes.nlink;
                }
        }
        touch(from, true), touch(to, true), touch(moving, false), touch(other, false);
        return;
    }
    if (target != to.children.end()) {
        if (darwinFlags & darwin::rename_excl)
            fail(posix::eexist, "rename exclusively onto a name that exists");
        Entry& otherEntry = to.entries.at(target->second);
        if (otherEntry.node == id) {
            // Two names of one node: nothing changes, but a new spelling of the same name.
            if (parent == newParent && target->second == sourceSequence)
                otherEntry.name.assign(newName);
            return;
        }
        const Node& other = existing(otherEntry.node);
        if (S_ISDIR(moving.attributes.mode) && !S_ISDIR(other.attributes.mode))
            fail(posix::enotdir, "rename a directory onto a file");
        if (!S_ISDIR(moving.attributes.mode) && S_ISDIR(other.attributes.mode))
            fail(posix::eisdir, "rename a file onto a directory");
        if (!other.entries.empty())
            fail(posix::enotempty, "rename onto a directory that is not empty");
        removeEntry(newParent, target->second);
    }
    from.children.erase(source);
    from.entries.erase(sourceSequence);
    to.children.emplace(key(newName), nextSequence);
    to.entries.emplace(nextSequence++, Entry { std::string(newName), id });
    if (S_ISDIR(moving.attributes.mode) && parent != newParent) {
        moving.parent = newParent;
        --from.attributes.nlink;
        ++to.attributes.nlink;
    }
    touch(from, true), touch(to, true), touch(moving, false);
}

} // namespace fused
