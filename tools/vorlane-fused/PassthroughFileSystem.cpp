#include "vorlane-fused/PassthroughFileSystem.h"

#include "vorlane-fused/BackendSupport.h"
#include "vorlane-fused/LinuxCalls.h"

#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/POSIXErrorCode.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace fused {

PassthroughFileSystem::Node::~Node()
{
    ::close(descriptor);
}

using namespace linuxcalls;

PassthroughFileSystem::PassthroughFileSystem(const std::filesystem::path& directory)
{
    const std::string name = "passthrough directory " + directory.string();
    struct stat status { };
    if (::stat(directory.c_str(), &status) < 0) {
        if (errno == ENOENT)
            throw BackendError(name + " does not exist");
        throw BackendError(name + " cannot be reached: " + std::strerror(errno));
    }
    if (!S_ISDIR(status.st_mode))
        throw BackendError(name + " is not a directory");
    int descriptor = ::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        throw BackendError(name + " cannot be opened: " + std::strerror(errno));
    auto root = std::make_shared<Node>(descriptor);
    struct stat opened { };
    if (::fstat(descriptor, &opened) < 0)
        throw BackendError(name + " cannot be examined: " + std::strerror(errno));
    root->identity = { opened.st_dev, opened.st_ino };
    os::UnfairLockGuard guard(lock);
    ids[root->identity] = 1;
    places[1] = Place { 1, ".", root->identity };
    nodes[1] = std::move(root);
}

vl::fuse_kstatfs PassthroughFileSystem::statistics()
{
    std::shared_ptr<Node> root = existing(1);
    struct statvfs status { };
    check(::fstatvfs(root->descriptor, &status), "statvfs");
    vl::fuse_kstatfs statistics {};
    statistics.blocks = status.f_blocks;
    statistics.bfree = status.f_bfree;
    statistics.bavail = status.f_bavail;
    statistics.files = status.f_files;
    statistics.ffree = status.f_ffree;
    statistics.bsize = static_cast<std::uint32_t>(status.f_bsize);
    statistics.namelen = static_cast<std::uint32_t>(status.f_namemax);
    statistics.frsize = static_cast<std::uint32_t>(status.f_frsize);
    return statistics;
}

vl::fuse_attr PassthroughFileSystem::attributes(std::uint64_t node)
{
    return attributesOf(status(existing(node)->descriptor), node);
}

vl::fuse_attr PassthroughFileSystem::lookup(std::uint64_t parent, std::string_view name)
{
    if (name == "." || name == ".." || name.find('/') != std::string_view::npos)
        fail(posix::einval, "look up a name that is not one component");
    std::shared_ptr<Node> directory = existing(parent);
    int descriptor
        = ::openat(directory->descriptor, std::string(name).c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0)
        failFromLinux("look up");
    return adopt(parent, name, descriptor);
}

vl::fuse_attr PassthroughFileSystem::adopt(std::uint64_t parent, std::string_view name, int descriptor)
{
    auto candidate = std::make_shared<Node>(descriptor);
    const struct statx found = status(descriptor);
    candidate->identity = { makedev(found.stx_dev_major, found.stx_dev_minor), found.stx_ino };
    std::uint64_t id;
    {
        os::UnfairLockGuard guard(lock);
        id = idFor(candidate->identity, parent, name);
        std::shared_ptr<Node>& known = nodes[id];
        if (!known)
            known = std::move(candidate);
        ++known->lookups;
    }
    return attributesOf(found, id);
}

std::uint64_t PassthroughFileSystem::idFor(Identity identity, std::uint64_t parent, std::string_view name)
{
    auto [entry, added] = ids.try_emplace(identity, nextNode);
    if (added)
        ++nextNode;
    Place& place = places[entry->second];
    place.parent = parent;
    place.name.assign(name);
    place.identity = identity;
    return entry->second;
}

std::shared_ptr<PassthroughFileSystem::Node> PassthroughFileSystem::existing(std::uint64_t node)
{
    return resolve(node, 0);
}

std::shared_ptr<PassthroughFileSystem::Node> PassthroughFileSystem::resolve(std::uint64_t node, int depth)
{
    Place place;
    {
        os::UnfairLockGuard guard(lock);
        auto found = nodes.find(node);
        if (found != nodes.end())
            return found->second;
        auto known = places.find(node);
        if (known == places.end() || node == 1)
            fail(posix::enoent, "no such node");
        place = known->second;
    }
    // A node the volume knows from a listing only: found again where it was last seen, and only
    // if it is still the same file. A stale loop of places ends at the depth limit.
    if (depth > maximumDepth)
        fail(posix::enoent, "no such node");
    std::shared_ptr<Node> directory = resolve(place.parent, depth + 1);
    const int descriptor
        = ::openat(directory->descriptor, place.name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (descriptor < 0)
        fail(posix::enoent, "no such node");
    auto found = std::make_shared<Node>(descriptor);
    const struct statx real = status(descriptor);
    found->identity = { makedev(real.stx_dev_major, real.stx_dev_minor), real.stx_ino };
    if (found->identity != place.identity)
        fail(posix::enoent, "no such node");
    return found;
}

void PassthroughFileSystem::forget(std::uint64_t node, std::uint64_t lookups)
{
    // Closed after the lock is given up, unless a request still uses it.
    std::shared_ptr<Node> dropped;
    os::UnfairLockGuard guard(lock);
    auto found = nodes.find(node);
    if (found == nodes.end())
        return;
    Node& target = *found->second;
    target.lookups -= std::min(lookups, target.lookups);
    if (target.lookups > 0 || node == 1)
        return;
    dropped = std::move(found->second);
    nodes.erase(found);
}

vl::fuse_attr PassthroughFileSystem::setAttributes(std::uint64_t node, const AttributeChanges& changes)
{
    std::shared_ptr<Node> target = existing(node);
    const int descriptor = target->descriptor;
    const struct statx before = status(descriptor);
    const std::uint32_t type = before.stx_mode & S_IFMT;
    if (changes.flags && *changes.flags != 0)
        fail(posix::enotsup, "set Darwin file flags");
    const uid_t owner = changes.uid && *changes.uid != before.stx_uid ? *changes.uid : static_cast<uid_t>(-1);
    const gid_t group = changes.gid && *changes.gid != before.stx_gid ? *changes.gid : static_cast<gid_t>(-1);
    if (owner != static_cast<uid_t>(-1) || group != static_cast<gid_t>(-1))
        check(::fchownat(descriptor, "", owner, group, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW), "chown");
    if (changes.mode && type != S_IFLNK)
        check(::fchmodat(AT_FDCWD, procPath(descriptor).c_str(), *changes.mode, 0), "chmod");
    if (changes.size) {
        if (type == S_IFDIR)
            fail(posix::eisdir, "truncate a directory");
        if (type != S_IFREG)
            fail(posix::einval, "truncate a special file");
        check(::truncate(procPath(descriptor).c_str(), static_cast<off_t>(*changes.size)), "truncate");
    }
    if (changes.accessTime || changes.modifyTime) {
        const timespec omitted { 0, UTIME_OMIT };
        const timespec times[2]
            = { changes.accessTime.value_or(omitted), changes.modifyTime.value_or(omitted) };
        check(::utimensat(descriptor, "", times, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW), "utimensat");
    }
    return attributesOf(status(descriptor), node);
}

LookupTally PassthroughFileSystem::lookupTally()
{
    os::UnfairLockGuard guard(lock);
    LookupTally tally;
    for (const auto& [id, node] : nodes) {
        tally.nodes += node->lookups > 0 ? 1 : 0;
        tally.lookups += node->lookups;
    }
    return tally;
}

} // namespace fused
