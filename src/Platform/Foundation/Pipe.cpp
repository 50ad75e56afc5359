#include "Platform/Foundation/Pipe.h"

#include "Platform/Foundation/POSIXError.h"

#include <fcntl.h>
#include <unistd.h>

namespace foundation {

Pipe::Pipe()
{
    int descriptors[2];
    if (::pipe2(descriptors, O_CLOEXEC) != 0)
        throw POSIXError::fromErrno("pipe");
    reading = std::make_shared<FileHandle>(descriptors[0]);
    writing = std::make_shared<FileHandle>(descriptors[1]);
}

} // namespace foundation
