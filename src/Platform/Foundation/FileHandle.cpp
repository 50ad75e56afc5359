#include "Platform/Foundation/FileHandle.h"

#include "Platform/Foundation/DescriptorIO.h"
#include "Platform/Foundation/POSIXError.h"
#include "Platform/Foundation/POSIXErrorCode.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace foundation {

FileHandle::FileHandle(int fileDescriptor, bool closeOnDealloc)
    : descriptor(fileDescriptor)
    , ownsDescriptor(closeOnDealloc)
{
}

FileHandle::~FileHandle()
{
    if (ownsDescriptor && descriptor >= 0)
        ::close(descriptor);
}

namespace {

std::shared_ptr<FileHandle> openAtPath(const std::string& path, int flags)
{
    int descriptor = ::open(path.c_str(), flags | O_CLOEXEC);
    if (descriptor < 0)
        return nullptr;
    return std::make_shared<FileHandle>(descriptor);
}

} // namespace

std::shared_ptr<FileHandle> FileHandle::forWritingAtPath(const std::string& path)
{
    return openAtPath(path, O_WRONLY);
}

std::shared_ptr<FileHandle> FileHandle::forReadingAtPath(const std::string& path)
{
    return openAtPath(path, O_RDONLY);
}

void FileHandle::close()
{
    if (descriptor < 0)
        throw POSIXError(posix::ebadf, "close");
    int closing = descriptor;
    descriptor = -1;
    // Linux releases the descriptor even when close reports an error, so it is never retried.
    if (::close(closing) != 0 && errno != EINTR)
        throw POSIXError::fromErrno("close");
}

std::optional<Data> FileHandle::readToEnd()
{
    if (descriptor < 0)
        throw POSIXError(posix::ebadf, "read");
    Data result;
    std::uint8_t buffer[16384];
    for (;;) {
        ssize_t count = ::read(descriptor, buffer, sizeof buffer);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            throw POSIXError::fromErrno("read");
        }
        if (count == 0)
            break;
        result.append(buffer, static_cast<std::size_t>(count));
    }
    if (result.empty())
        return std::nullopt;
    return result;
}

void FileHandle::write(const Data& data)
{
    if (descriptor < 0)
        throw POSIXError(posix::ebadf, "write");
    writeCompletely(descriptor, std::as_bytes(std::span(data.data(), data.size())));
}

} // namespace foundation
