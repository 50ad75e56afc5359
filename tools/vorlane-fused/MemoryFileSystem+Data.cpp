// MemoryFileSystem: handles, reading and writing file data, and listing directories.
#include "vorlane-fused/MemoryFileSystem.h"

#include "Platform/Foundation/POSIXErrorCode.h"
#include "vorlane-fused/BackendSupport.h"
#include "vorlane-fused/DarwinFlags.h"

#include <algorithm>
#include <cstring>

namespace fused {

MemoryFileSystem::Handle& MemoryFileSystem::handleOf(std::uint64_t node, std::uint64_t handle, bool directory)
{
    auto found = handles.find(handle);
    if (found == handles.end() || found->second.node != node || found->second.directory != directory)
        fail(posix::ebadf, "use a handle that is not open on this node");
    return found->second;
}

std::uint64_t MemoryFileSystem::addHandle(std::uint64_t node, std::uint32_t darwinFlags, bool directory)
{
    ++existing(node).opens;
    const std::uint64_t handle = nextHandle++;
    handles.emplace(handle, Handle { node, darwinFlags, directory });
    return handle;
}

std::uint64_t MemoryFileSystem::open(std::uint64_t node, std::uint32_t darwinFlags)
{
    const LinuxOpen checked = linuxOpenFromDarwin(darwinFlags);
    os::UnfairLockGuard guard(lock);
    Node& target = existing(node);
    const std::uint32_t type = target.attributes.mode & S_IFMT;
    if (type == S_IFDIR && (darwinFlags & darwin::o_accmode) != darwin::o_rdonly)
        fail(posix::eisdir, "open a directory for writing");
    if (type != S_IFDIR && (darwinFlags & darwin::o_directory))
        fail(posix::enotdir, "open a file as a directory");
    if (type == S_IFLNK && !checked.linkItself)
        fail(posix::eloop, "open through a symbolic link");
    if (type == S_IFREG && (darwinFlags & darwin::o_trunc))
        resize(target, 0, now());
    return addHandle(node, darwinFlags, false);
}

std::uint64_t MemoryFileSystem::openDirectory(std::uint64_t node)
{
    os::UnfairLockGuard guard(lock);
    if (!S_ISDIR(existing(node).attributes.mode))
        fail(posix::enotdir, "open a file as a directory");
    return addHandle(node, darwin::o_rdonly, true);
}

void MemoryFileSystem::release(std::uint64_t node, std::uint64_t handle, bool directory)
{
    os::UnfairLockGuard guard(lock);
    handleOf(node, handle, directory);
    handles.erase(handle);
    --existing(node).opens;
    dropIfUnused(node);
}

std::size_t MemoryFileSystem::read(
    std::uint64_t node, std::uint64_t handle, std::uint64_t offset, std::span<std::byte> into)
{
    os::UnfairLockGuard guard(lock);
    handleOf(node, handle, false);
    const Node& file = existing(node);
    if (!S_ISREG(file.attributes.mode))
        fail(S_ISDIR(file.attributes.mode) ? posix::eisdir : posix::einval, "read what is not a file");
    if (offset >= file.contents.size())
        return 0;
    const std::size_t count = std::min<std::size_t>(into.size(), file.contents.size() - offset);
    std::memcpy(into.data(), file.contents.data() + offset, count);
    return count;
}

std::size_t MemoryFileSystem::write(
    std::uint64_t node, std::uint64_t handle, std::uint64_t offset, std::span<const std::byte> data)
{
    os::UnfairLockGuard guard(lock);
    const Handle& opened = handleOf(node, handle, false);
    Node& file = existing(node);
    if (!S_ISREG(file.attributes.mode))
        fail(S_ISDIR(file.attributes.mode) ? posix::eisdir : posix::einval, "write what is not a file");
    if (opened.darwinFlags & darwin::o_append)
        offset = file.contents.size();
    if (offset > capacity || data.size() > capacity - offset)
        fail(posix::efbig, "write beyond the capacity");
    const timespec changed = now();
    if (offset + data.size() > file.contents.size())
        resize(file, offset + data.size(), changed);
    std::memcpy(file.contents.data() + offset, data.data(), data.size());
    setTime(file.attributes.mtime, file.attributes.mtimensec, changed);
    setTime(file.attributes.ctime, file.attributes.ctimensec, changed);
    return data.size();
}

void MemoryFileSystem::synchronize(std::uint64_t node, std::uint64_t handle, bool directory, bool)
{
    os::UnfairLockGuard guard(lock);
    handleOf(node, handle, directory);
}

void MemoryFileSystem::readDirectory(
    std::uint64_t node, std::uint64_t handle, std::uint64_t offset, DirectoryListing& listing)
{
    os::UnfairLockGuard guard(lock);
    handleOf(node, handle, true);
    const Node& directory = existing(node);
    if (offset < 1 && !listing.add(node, 1, directoryEntryType(S_IFDIR), "."))
        return;
    if (offset < 2 && !listing.add(directory.parent, 2, directoryEntryType(S_IFDIR), ".."))
        return;
    for (auto entry = directory.entries.upper_bound(offset); entry != directory.entries.end(); ++entry) {
        const std::uint32_t type = directoryEntryType(existing(entry->second.node).attributes.mode);
        if (!listing.add(entry->second.node, entry->first, type, entry->second.name))
            return;
    }
}

} // namespace fused
