#include "vorlane-fused/MemoryFileSystem.h"

#include "Platform/Foundation/POSIXErrorCode.h"
#include "vorlane-fused/BackendSupport.h"

#include <algorithm>
#include <cctype>
#include <sys/stat.h>

namespace fused {
namespace {

constexpr std::uint32_t blockSize = 4096;

vl::fuse_attr freshAttributes(std::uint64_t node, std::uint32_t mode)
{
    timespec created = now();
    vl::fuse_attr attributes {};
    attributes.ino = node;
    attributes.mode = mode;
    attributes.nlink = S_ISDIR(mode) ? 2 : 1;
    setTime(attributes.atime, attributes.atimensec, created);
    setTime(attributes.mtime, attributes.mtimensec, created);
    setTime(attributes.ctime, attributes.ctimensec, created);
    setTime(attributes.crtime, attributes.crtimensec, created);
    attributes.blksize = blockSize;
    return attributes;
}

} // namespace

MemoryFileSystem::MemoryFileSystem(bool caseInsensitive)
    : caseInsensitive(caseInsensitive)
{
    os::UnfairLockGuard guard(lock);
    nodes[1].attributes = freshAttributes(1, S_IFDIR | 0755);
    nodes[1].parent = 1;
}

std::string MemoryFileSystem::key(std::string_view name) const
{
    std::string folded(name);
    if (caseInsensitive)
        std::transform(folded.begin(), folded.end(), folded.begin(),
            [](unsigned char character) { return static_cast<char>(std::tolower(character)); });
    return folded;
}

MemoryFileSystem::Node& MemoryFileSystem::existing(std::uint64_t node)
{
    auto found = nodes.find(node);
    if (found == nodes.end())
        fail(posix::enoent, "no such node");
    return found->second;
}

vl::fuse_kstatfs MemoryFileSystem::statistics()
{
    os::UnfairLockGuard guard(lock);
    vl::fuse_kstatfs statistics {};
    std::uint64_t usedBlocks = 0;
    for (const auto& [id, node] : nodes)
        usedBlocks += (node.contents.size() + blockSize - 1) / blockSize;
    constexpr std::uint64_t totalBlocks = capacity / blockSize;
    statistics.blocks = totalBlocks;
    statistics.bfree = totalBlocks - std::min(usedBlocks, totalBlocks);
    statistics.bavail = statistics.bfree;
    statistics.files = 1u << 20;
    statistics.ffree = statistics.files - std::min<std::uint64_t>(nodes.size(), statistics.files);
    statistics.bsize = blockSize;
    statistics.frsize = blockSize;
    statistics.namelen = 255;
    return statistics;
}

vl::fuse_attr MemoryFileSystem::attributes(std::uint64_t node)
{
    os::UnfairLockGuard guard(lock);
    return existing(node).attributes;
}

vl::fuse_attr MemoryFileSystem::lookup(std::uint64_t parent, std::string_view name)
{
    os::UnfairLockGuard guard(lock);
    Node& directory = existing(parent);
    if (!S_ISDIR(directory.attributes.mode))
        fail(posix::enotdir, "look up in a file");
    auto child = directory.children.find(key(name));
    if (child == directory.children.end())
        fail(posix::enoent, "no such name");
    Node& found = existing(directory.entries.at(child->second).node);
    ++found.lookups;
    return found.attributes;
}

void MemoryFileSystem::forget(std::uint64_t node, std::uint64_t lookups)
{
    os::UnfairLockGuard guard(lock);
    auto found = nodes.find(node);
    if (found == nodes.end())
        return;
    found->second.lookups -= std::min(lookups, found->second.lookups);
    dropIfUnused(node);
}

void MemoryFileSystem::dropIfUnused(std::uint64_t node)
{
    auto found = nodes.find(node);
    if (node == 1 || found == nodes.end())
        return;
    const Node& target = found->second;
    if (target.attributes.nlink == 0 && target.opens == 0 && target.lookups == 0)
        nodes.erase(found);
}

void MemoryFileSystem::resize(Node& file, std::uint64_t size, timespec changed)
{
    file.contents.resize(size);
    file.attributes.size = size;
    file.attributes.blocks = (size + 511) / 512;
    setTime(file.attributes.mtime, file.attributes.mtimensec, changed);
    setTime(file.attributes.ctime, file.attributes.ctimensec, changed);
}

vl::fuse_attr MemoryFileSystem::setAttributes(std::uint64_t node, const AttributeChanges& changes)
{
    os::UnfairLockGuard guard(lock);
    Node& target = existing(node);
    vl::fuse_attr& attributes = target.attributes;
    if (changes.size) {
        if (S_ISDIR(attributes.mode))
            fail(posix::eisdir, "set the size of a directory");
        if (!S_ISREG(attributes.mode))
            fail(posix::einval, "set the size of a special file");
        if (*changes.size > capacity)
            fail(posix::efbig, "set a size beyond the capacity");
    }
    const timespec changed = now();
    if (changes.mode)
        attributes.mode = (attributes.mode & S_IFMT) | *changes.mode;
    if (changes.uid)
        attributes.uid = *changes.uid;
    if (changes.gid)
        attributes.gid = *changes.gid;
    if (changes.size)
        resize(target, *changes.size, changed);
    if (changes.flags)
        attributes.flags = *changes.flags;
    if (changes.accessTime)
        setTime(attributes.atime, attributes.atimensec, *changes.accessTime);
    if (changes.modifyTime)
        setTime(attributes.mtime, attributes.mtimensec, *changes.modifyTime);
    if (changes.birthTime)
        setTime(attributes.crtime, attributes.crtimensec, *changes.birthTime);
    // fuse_attr has no backup time to keep.
    setTime(attributes.ctime, attributes.ctimensec, changes.changeTime.value_or(changed));
    return attributes;
}

LookupTally MemoryFileSystem::lookupTally()
{
    os::UnfairLockGuard guard(lock);
    LookupTally tally;
    for (const auto& [id, node] : nodes) {
        tally.nodes += node.lookups > 0 ? 1 : 0;
        tally.lookups += node.lookups;
    }
    return tally;
}

std::uint64_t MemoryFileSystem::insert(
    std::uint64_t parent, std::string_view name, std::uint32_t mode, std::string contents)
{
    os::UnfairLockGuard guard(lock);
    return insertLocked(parent, name, mode, std::move(contents));
}

void MemoryFileSystem::addEntry(std::uint64_t parent, std::string_view name, std::uint64_t node)
{
    Node& directory = existing(parent);
    if (!S_ISDIR(directory.attributes.mode))
        fail(posix::enotdir, "create in a file");
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos)
        fail(posix::einval, "create under an invalid name");
    if (name.size() > 255)
        fail(posix::enametoolong, "create under a name longer than 255 bytes");
    if (!directory.children.emplace(key(name), nextSequence).second)
        fail(posix::eexist, "create under a name that is taken");
    directory.entries.emplace(nextSequence++, Entry { std::string(name), node });
    const timespec changed = now();
    setTime(directory.attributes.mtime, directory.attributes.mtimensec, changed);
    setTime(directory.attributes.ctime, directory.attributes.ctimensec, changed);
}

std::uint64_t MemoryFileSystem::insertLocked(
    std::uint64_t parent, std::string_view name, std::uint32_t mode, std::string contents)
{
    const std::uint64_t id = nextNode;
    addEntry(parent, name, id);
    ++nextNode;
    Node& node = nodes[id];
    node.attributes = freshAttributes(id, mode);
    node.attributes.size = contents.size();
    node.attributes.blocks = (contents.size() + 511) / 512;
    node.contents = std::move(contents);
    if (S_ISDIR(mode)) {
        node.parent = parent;
        ++existing(parent).attributes.nlink;
    }
    return id;
}

std::uint64_t MemoryFileSystem::makeDirectory(
    std::uint64_t parent, std::string_view name, std::uint32_t permissions)
{
    return insert(parent, name, S_IFDIR | (permissions & 07777), {});
}

std::uint64_t MemoryFileSystem::makeFile(
    std::uint64_t parent, std::string_view name, std::uint32_t permissions, std::string contents)
{
    return insert(parent, name, S_IFREG | (permissions & 07777), std::move(contents));
}

std::uint64_t MemoryFileSystem::lookupCount(std::uint64_t node)
{
    os::UnfairLockGuard guard(lock);
    auto found = nodes.find(node);
    return found == nodes.end() ? 0 : found->second.lookups;
}

} // namespace fused
