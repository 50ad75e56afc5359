// PassthroughFileSystem: handles, reading and writing file data, and listing directories.
#include "vorlane-fused/PassthroughFileSystem.h"

#include "Platform/Foundation/POSIXErrorCode.h"
#include "vorlane-fused/BackendSupport.h"
#include "vorlane-fused/DarwinFlags.h"
#include "vorlane-fused/LinuxCalls.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace fused {

using namespace linuxcalls;

PassthroughFileSystem::OpenFile::~OpenFile()
{
    ::close(descriptor);
}

std::shared_ptr<PassthroughFileSystem::OpenFile> PassthroughFileSystem::handleOf(
    std::uint64_t node, std::uint64_t handle, bool directory)
{
    os::UnfairLockGuard guard(lock);
    auto found = handles.find(handle);
    if (found == handles.end() || found->second->id != node || found->second->directory != directory)
        fail(posix::ebadf, "use a handle that is not open on this node");
    return found->second;
}

std::uint64_t PassthroughFileSystem::addHandle(
    std::uint64_t node, std::shared_ptr<Node> target, int descriptor, bool directory)
{
    auto opened = std::make_shared<OpenFile>(node, std::move(target), descriptor, directory);
    os::UnfairLockGuard guard(lock);
    const std::uint64_t handle = nextHandle++;
    handles.emplace(handle, std::move(opened));
    return handle;
}

std::uint64_t PassthroughFileSystem::open(std::uint64_t node, std::uint32_t darwinFlags)
{
    const LinuxOpen wanted = linuxOpenFromDarwin(darwinFlags);
    std::shared_ptr<Node> target = existing(node);
    const std::uint32_t type = status(target->descriptor).stx_mode & S_IFMT;
    int descriptor;
    if (type == S_IFLNK) {
        if (!wanted.linkItself)
            fail(posix::eloop, "open through a symbolic link");
        descriptor = ::fcntl(target->descriptor, F_DUPFD_CLOEXEC, 0);
    } else {
        // The node is reached without following anything, so O_NOFOLLOW would refuse the
        // /proc link itself.
        const int flags = (wanted.flags & ~O_NOFOLLOW) | O_CLOEXEC;
        const std::string path = procPath(target->descriptor);
        descriptor = -1;
        if (type == S_IFREG && (flags & O_ACCMODE) != O_RDWR) {
            descriptor = ::open(path.c_str(), (flags & ~O_ACCMODE) | O_RDWR);
            if (descriptor < 0 && errno != EACCES && errno != EPERM && errno != EROFS && errno != ETXTBSY)
                failFromLinux("open");
        }
        if (descriptor < 0)
            descriptor = ::open(path.c_str(), flags);
    }
    check(descriptor, "open");
    if (wanted.lock != LinuxOpen::Lock::none
        && ::flock(descriptor, (wanted.lock == LinuxOpen::Lock::shared ? LOCK_SH : LOCK_EX) | LOCK_NB) < 0) {
        const int error = errno;
        ::close(descriptor);
        errno = error;
        failFromLinux("lock an opened file");
    }
    return addHandle(node, std::move(target), descriptor, false);
}

std::uint64_t PassthroughFileSystem::openDirectory(std::uint64_t node)
{
    std::shared_ptr<Node> target = existing(node);
    const int descriptor = ::openat(target->descriptor, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    check(descriptor, "open a directory");
    return addHandle(node, std::move(target), descriptor, true);
}

void PassthroughFileSystem::release(std::uint64_t node, std::uint64_t handle, bool directory)
{
    // Closed once the last request using it is done.
    std::shared_ptr<OpenFile> released = handleOf(node, handle, directory);
    os::UnfairLockGuard guard(lock);
    handles.erase(handle);
}

std::size_t PassthroughFileSystem::read(
    std::uint64_t node, std::uint64_t handle, std::uint64_t offset, std::span<std::byte> into)
{
    std::shared_ptr<OpenFile> file = handleOf(node, handle, false);
    std::size_t done = 0;
    while (done < into.size()) {
        const ssize_t count = ::pread(
            file->descriptor, into.data() + done, into.size() - done, static_cast<off_t>(offset + done));
        if (count == 0)
            break;
        if (count < 0 && errno == EINTR)
            continue;
        check(count, "read");
        done += static_cast<std::size_t>(count);
    }
    return done;
}

std::size_t PassthroughFileSystem::write(
    std::uint64_t node, std::uint64_t handle, std::uint64_t offset, std::span<const std::byte> data)
{
    std::shared_ptr<OpenFile> file = handleOf(node, handle, false);
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t count = ::pwrite(
            file->descriptor, data.data() + done, data.size() - done, static_cast<off_t>(offset + done));
        if (count < 0 && errno == EINTR)
            continue;
        if (count == 0)
            break;
        // Bytes already written are reported; the error then comes with the next write.
        if (count < 0 && done > 0)
            break;
        check(count, "write");
        done += static_cast<std::size_t>(count);
    }
    return done;
}

void PassthroughFileSystem::synchronize(
    std::uint64_t node, std::uint64_t handle, bool directory, bool dataOnly)
{
    std::shared_ptr<OpenFile> file = handleOf(node, handle, directory);
    check(dataOnly ? ::fdatasync(file->descriptor) : ::fsync(file->descriptor), "synchronize");
}

void PassthroughFileSystem::readDirectory(
    std::uint64_t node, std::uint64_t handle, std::uint64_t offset, DirectoryListing& listing)
{
    constexpr std::size_t readAhead = 32768;
    std::shared_ptr<OpenFile> directory = handleOf(node, handle, true);
    os::UnfairLockGuard streamGuard(directory->streamLock);
    if (!directory->positioned || offset != directory->position) {
        check(::lseek(directory->descriptor, static_cast<off_t>(offset), SEEK_SET), "seek in a directory");
        directory->buffered.clear();
        directory->next = 0;
        directory->position = offset;
        directory->positioned = true;
    }
    const dev_t device = directory->node->identity.first;
    std::uint64_t parent;
    {
        os::UnfairLockGuard guard(lock);
        auto place = places.find(node);
        parent = place == places.end() ? node : place->second.parent;
    }
    for (;;) {
        if (directory->next >= directory->buffered.size()) {
            directory->buffered.resize(readAhead);
            const ssize_t count = ::getdents64(directory->descriptor, directory->buffered.data(), readAhead);
            if (count < 0)
                directory->buffered.clear();
            check(count, "read a directory");
            directory->buffered.resize(static_cast<std::size_t>(count));
            directory->next = 0;
            if (count == 0)
                return;
        }
        dirent64 entry;
        const std::byte* record = directory->buffered.data() + directory->next;
        std::memcpy(&entry, record, offsetof(dirent64, d_name));
        const std::string_view name(reinterpret_cast<const char*>(record) + offsetof(dirent64, d_name));
        std::uint64_t id;
        if (name == ".")
            id = node;
        else if (name == "..")
            id = parent;
        else {
            os::UnfairLockGuard guard(lock);
            id = idFor({ device, entry.d_ino }, node, name);
        }
        if (!listing.add(id, static_cast<std::uint64_t>(entry.d_off), entry.d_type, name))
            return;
        directory->next += entry.d_reclen;
        directory->position = static_cast<std::uint64_t>(entry.d_off);
    }
}

} // namespace fused
