#include "VLFSModule/Item.h"

#include "VLFSModule/FSModuleLogger.h"
#include "VLFSModule/ItemFileHandle.h"

#include <ctime>

namespace vl {

namespace {

std::shared_ptr<fskit::FSItemAttributes> newAttributes(Item::Identifier fileID)
{
    auto attributes = std::make_shared<fskit::FSItemAttributes>();
    attributes->setFileID(fileID);
    attributes->setSize(0);
    attributes->setFlags(0);
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    attributes->setAddedTime(now);
    attributes->setBirthTime(now);
    attributes->setChangeTime(now);
    attributes->setModifyTime(now);
    // Nothing counts as known until a reply from the daemon has been applied.
    attributes->invalidateAllProperties();
    return attributes;
}

} // namespace

Item::Item(Identifier fileID)
    : lock(std::make_shared<AsyncReadWriteLock>())
    , attributes(newAttributes(fileID))
    , identifier(fileID)
{
}

std::optional<fskit::FSFileName> Item::debugName() const
{
    os::UnfairLockGuard guard(debugNameLock);
    return debugNameValue;
}

void Item::setDebugName(std::optional<fskit::FSFileName> name)
{
    os::UnfairLockGuard guard(debugNameLock);
    debugNameValue = std::move(name);
}

std::string Item::description() const
{
    const std::optional<fskit::FSFileName> name = debugName();
    return "Item(" + std::to_string(static_cast<std::uint64_t>(identifier)) + ", "
        + (name ? "\"" + name->description() + "\"" : std::string("<n/a>")) + ")";
}

void Item::assertLocked(LockMode mode) const
{
    if (const std::shared_ptr<const LockRecord> record = lockState.get()) {
        if (auto held = record->find(identifier); held != record->end())
            if (held->second.isWriting() || held->second == mode)
                return;
    }
    fsModule().error("State of item %s accessed without item being locked", *this);
}

} // namespace vl
