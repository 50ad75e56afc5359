#include "Platform/FSKit/FSUnaryFileSystem.h"

namespace fskit {

FSContainerStatus FSUnaryFileSystem::containerStatus() const
{
    os::UnfairLockGuard guard(statusLock);
    return status;
}

void FSUnaryFileSystem::setContainerStatus(FSContainerStatus newStatus)
{
    os::UnfairLockGuard guard(statusLock);
    status = std::move(newStatus);
}

} // namespace fskit
