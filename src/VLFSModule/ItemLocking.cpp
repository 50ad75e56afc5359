// Item::withLocks: acquisition in ascending file-identifier order, the task-local record of held
// locks, the upgrader and the one retry with write locks.
#include "VLFSModule/Item.h"

#include <exception>

namespace vl {

const tasks::TaskLocal<std::shared_ptr<const Item::LockRecord>> Item::lockState { nullptr };

namespace {

// Raised by the upgrader when an upgrade is refused; consumed by the retry.
struct LockUpgradeError { };

// The requested modes, one per item (a later request for an item replaces an earlier one),
// in ascending order of file identifier: the global acquisition order.
using RequestedSet = std::map<Item::Identifier, Item::ItemLockState>;

RequestedSet makeRequestedSet(std::vector<Item::ItemLockState> requested)
{
    RequestedSet set;
    for (Item::ItemLockState& state : requested) {
        const Item::Identifier identifier = state.first->fileID();
        set.insert_or_assign(identifier, std::move(state));
    }
    return set;
}

bool anyUpgradable(const RequestedSet& set)
{
    for (const auto& [identifier, state] : set)
        if (state.second.isUpgradable())
            return true;
    return false;
}

AsyncReadWriteLock::Mode lockModeFor(Item::LockMode mode, bool upgrade)
{
    if (mode.isWriting() || (mode.isUpgradable() && upgrade))
        return AsyncReadWriteLock::Mode::writing;
    return AsyncReadWriteLock::Mode::reading;
}

// The requested modes merged into the task's current record; writing wins over reading.
std::shared_ptr<const Item::LockRecord> mergedRecord(const RequestedSet& set)
{
    const std::shared_ptr<const Item::LockRecord> current = Item::lockState.get();
    auto merged
        = current ? std::make_shared<Item::LockRecord>(*current) : std::make_shared<Item::LockRecord>();
    for (const auto& [identifier, state] : set) {
        auto [entry, inserted] = merged->try_emplace(identifier, state.second);
        if (!inserted && state.second.isWriting())
            entry->second = Item::LockMode::writing();
    }
    return merged;
}

void unlockInReverse(const std::vector<AsyncReadWriteLock*>& acquired)
{
    for (auto lock = acquired.rbegin(); lock != acquired.rend(); ++lock)
        (*lock)->unlock();
}

tasks::Task<void> noUpgrade()
{
    co_return;
}

Item::UpgradeFunction upgraderFor(std::shared_ptr<const RequestedSet> set)
{
    return [set = std::move(set)]() -> tasks::Task<void> {
        for (const auto& [identifier, state] : *set) {
            if (!state.second.isUpgradable())
                continue;
            if (!co_await state.first->lock->upgrade())
                throw LockUpgradeError {};
        }
    };
}

tasks::Task<void> lockedSection(const RequestedSet& set, bool upgrade,
    const std::function<tasks::Task<void>(Item::UpgradeFunction)>& operation,
    Item::UpgradeFunction upgradeFunction)
{
    std::vector<AsyncReadWriteLock*> acquired;
    acquired.reserve(set.size());
    for (const auto& [identifier, state] : set) {
        co_await state.first->lock->lock(lockModeFor(state.second, upgrade));
        acquired.push_back(state.first->lock.get());
    }
    std::exception_ptr failure;
    try {
        co_await Item::lockState.withValue(mergedRecord(set), operation(std::move(upgradeFunction)));
    } catch (...) {
        failure = std::current_exception();
    }
    unlockInReverse(acquired);
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace

std::optional<Item::ItemLockState> Item::LockStateConstraint::toItemLockState() const
{
    if (!item)
        return std::nullopt;
    return ItemLockState(item, exclusive ? LockMode::writing() : LockMode::reading(false));
}

std::optional<Item::ItemLockState> Item::UpgradableLockStateConstraint::toItemLockState() const
{
    if (!item)
        return std::nullopt;
    return ItemLockState(item, mode);
}

tasks::Task<void> Item::lockAndRun(std::vector<ItemLockState> requested, LockedOperation operation)
{
    if (requested.empty()) {
        co_await operation(noUpgrade);
        co_return;
    }
    const auto set = std::make_shared<const RequestedSet>(makeRequestedSet(std::move(requested)));
    const bool upgradable = anyUpgradable(*set);
    // Named, not a temporary (g++ 12, see Task.h).
    UpgradeFunction upgrader = upgradable ? upgraderFor(set) : UpgradeFunction(noUpgrade);
    try {
        co_await lockedSection(*set, false, operation, std::move(upgrader));
        co_return;
    } catch (const LockUpgradeError&) {
        if (!upgradable)
            throw;
    }
    co_await lockedSection(*set, true, operation, noUpgrade);
}

bool Item::tryLockAndRun(std::vector<ItemLockState> requested, const std::function<void()>& operation)
{
    if (requested.empty()) {
        operation();
        return true;
    }
    const RequestedSet set = makeRequestedSet(std::move(requested));
    std::vector<AsyncReadWriteLock*> acquired;
    acquired.reserve(set.size());
    for (const auto& [identifier, state] : set) {
        if (!state.first->lock->tryLock(lockModeFor(state.second, false))) {
            unlockInReverse(acquired);
            return false;
        }
        acquired.push_back(state.first->lock.get());
    }
    std::exception_ptr failure;
    try {
        lockState.withValue(mergedRecord(set), operation);
    } catch (...) {
        failure = std::current_exception();
    }
    unlockInReverse(acquired);
    if (failure)
        std::rethrow_exception(failure);
    return true;
}

} // namespace vl
