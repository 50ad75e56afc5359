#include "Platform/Foundation/DescriptorIO.h"

#include "Platform/Foundation/POSIXError.h"

#include <cerrno>

#include <sys/socket.h>
#include <unistd.h>

namespace foundation {

std::size_t readCompletely(int descriptor, std::span<std::byte> buffer)
{
    std::size_t done = 0;
    while (done < buffer.size()) {
        ssize_t count = ::read(descriptor, buffer.data() + done, buffer.size() - done);
        if (count > 0)
            done += static_cast<std::size_t>(count);
        else if (count == 0)
            break;
        else if (errno != EINTR)
            throw POSIXError::fromErrno("read");
    }
    return done;
}

void writeCompletely(int descriptor, std::span<const std::byte> bytes)
{
    bool isSocket = true;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::byte* next = bytes.data() + done;
        std::size_t left = bytes.size() - done;
        ssize_t count
            = isSocket ? ::send(descriptor, next, left, MSG_NOSIGNAL) : ::write(descriptor, next, left);
        if (count >= 0)
            done += static_cast<std::size_t>(count);
        else if (isSocket && errno == ENOTSOCK)
            isSocket = false;
        else if (errno != EINTR)
            throw POSIXError::fromErrno(isSocket ? "send" : "write");
    }
}

} // namespace foundation
