#include "Platform/FSKit/FSVolume.h"

namespace fskit {

FSVolume::FSVolume(Identifier volumeID, FSFileName volumeName)
    : identifier(std::move(volumeID))
    , volumeName(std::move(volumeName))
{
}

FSFileName FSVolume::name() const
{
    os::UnfairLockGuard guard(nameLock);
    return volumeName;
}

void FSVolume::setName(FSFileName newName)
{
    os::UnfairLockGuard guard(nameLock);
    volumeName = std::move(newName);
}

} // namespace fskit
