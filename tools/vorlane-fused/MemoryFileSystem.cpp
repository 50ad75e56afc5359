#include "vorlane-fused/MemoryFileSystem.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <ctime>
#include <sys/stat.h>

namespace fused {
namespace {

constexpr std::uint32_t blockSize = 4096;

vl::fuse_attr freshAttributes(std::uint64_t node, std::uint32_t mode)
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    vl::fuse_attr attributes{};
    attributes.ino = node;
    attributes.mode = mode;
    attributes.nlink = S_ISDIR(mode) ? 2 : 1;
    attributes.atime = attributes.mtime = attributes.ctime = attributes.crtime = now.tv_sec;
    attributes.atimensec = attributes.mtimensec = attributes.ctimensec = attributes.crtimensec =
        static_cast<std::int32_t>(now.tv_nsec);
    attributes.blksize = blockSize;
    return attributes;
}

} // namespace

MemoryFileSystem::MemoryFileSystem(bool caseInsensitive) : caseInsensitive(caseInsensitive)
{
    nodes[1].attributes = freshAttributes(1, S_IFDIR | 0755);
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
        throw PosixError(ENOENT);
    return found->second;
}

vl::fuse_kstatfs MemoryFileSystem::statistics()
{
    std::lock_guard guard(mutex);
    vl::fuse_kstatfs statistics{};
    std::uint64_t usedBlocks = 0;
    for (const auto& [id, node] : nodes)
        usedBlocks += (node.contents.size() + blockSize - 1) / blockSize;
    constexpr std::uint64_t totalBlocks = (std::uint64_t{1} << 30) / blockSize;
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
    std::lock_guard guard(mutex);
    return existing(node).attributes;
}

vl::fuse_attr MemoryFileSystem::lookup(std::uint64_t parent, std::string_view name)
{
    std::lock_guard guard(mutex);
    Node& directory = existing(parent);
    if (!S_ISDIR(directory.attributes.mode))
        throw PosixError(ENOTDIR);
    auto child = directory.children.find(key(name));
    if (child == directory.children.end())
        throw PosixError(ENOENT);
    Node& found = existing(child->second);
    ++found.lookups;
    return found.attributes;
}

std::uint64_t MemoryFileSystem::insert(std::uint64_t parent, std::string_view name, std::uint32_t mode,
                                       std::string contents)
{
    std::lock_guard guard(mutex);
    Node& directory = existing(parent);
    if (!S_ISDIR(directory.attributes.mode))
        throw PosixError(ENOTDIR);
    if (name.empty() || name.size() > 255 || name.find('/') != std::string_view::npos)
        throw PosixError(EINVAL);
    if (!directory.children.emplace(key(name), nextNode).second)
        throw PosixError(EEXIST);
    std::uint64_t id = nextNode++;
    Node& node = nodes[id];
    node.attributes = freshAttributes(id, mode);
    node.attributes.size = contents.size();
    node.attributes.blocks = (contents.size() + 511) / 512;
    node.contents = std::move(contents);
    if (S_ISDIR(mode))
        ++directory.attributes.nlink;
    return id;
}

std::uint64_t MemoryFileSystem::makeDirectory(std::uint64_t parent, std::string_view name, std::uint32_t permissions)
{
    return insert(parent, name, S_IFDIR | (permissions & 07777), {});
}

std::uint64_t MemoryFileSystem::makeFile(std::uint64_t parent, std::string_view name, std::uint32_t permissions,
                                         std::string contents)
{
    return insert(parent, name, S_IFREG | (permissions & 07777), std::move(contents));
}

std::uint64_t MemoryFileSystem::lookupCount(std::uint64_t node) const
{
    std::lock_guard guard(mutex);
    auto found = nodes.find(node);
    return found == nodes.end() ? 0 : found->second.lookups;
}

} // namespace fused
