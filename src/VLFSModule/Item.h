// The system's FSKit item: one object per file-system object handed to FSKit.
//
// An item is the unit of identity (its file identifier, fixed at construction: items compare
// and hash by it), of caching (`attributes`), of mutual exclusion (`lock`, taken only through
// Item::withLocks) and of open-file bookkeeping (`fh`). `state`, `attributes` and `fh` are read
// and written only by a task holding the item's lock in a sufficient mode; the debug name and
// `attributes->parentID` are written only under the write lock. The debug name additionally
// sits behind a small lock of its own, so that log messages may read it from anywhere.
#pragma once

#include "Platform/FSKit/FSFileName.h"
#include "Platform/FSKit/FSItem.h"
#include "Platform/FSKit/FSItemAttributes.h"
#include "Platform/OS/UnfairLock.h"
#include "Platform/Tasks/Task.h"
#include "Platform/Tasks/TaskLocal.h"
#include "VLFoundation/AsyncReadWriteLock.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace vl {

class Item final : public fskit::FSItem {
public:
    enum class State { active, reclaimed };
    class FileHandle;
    class Store;

    // The mode in which one item is held: shared (possibly upgradable) or exclusive. Every
    // reading mode orders before writing; the two reading modes are unordered.
    class LockMode {
    public:
        static constexpr LockMode reading(bool upgradable) { return LockMode(false, upgradable); }
        static constexpr LockMode writing() { return LockMode(true, false); }

        constexpr bool isWriting() const { return exclusive; }
        constexpr bool isUpgradable() const { return upgradable; }

        friend constexpr bool operator==(LockMode, LockMode) = default;
        friend constexpr bool operator<(LockMode a, LockMode b) { return !a.exclusive && b.exclusive; }

    private:
        constexpr LockMode(bool exclusive, bool upgradable)
            : exclusive(exclusive)
            , upgradable(upgradable)
        {
        }

        bool exclusive;
        bool upgradable;
    };

    // One item and the mode wanted for it; a constraint without an item is dropped.
    using ItemLockState = std::pair<std::shared_ptr<Item>, LockMode>;

    class LockStateConstraint {
    public:
        static LockStateConstraint reading(std::shared_ptr<Item> item) { return { std::move(item), false }; }
        static LockStateConstraint writing(std::shared_ptr<Item> item) { return { std::move(item), true }; }

        std::optional<ItemLockState> toItemLockState() const;

    private:
        LockStateConstraint(std::shared_ptr<Item> item, bool exclusive)
            : item(std::move(item))
            , exclusive(exclusive)
        {
        }

        std::shared_ptr<Item> item;
        bool exclusive;
    };

    class UpgradableLockStateConstraint {
    public:
        static UpgradableLockStateConstraint reading(std::shared_ptr<Item> item, bool upgradable)
        {
            return { std::move(item), LockMode::reading(upgradable) };
        }
        static UpgradableLockStateConstraint writing(std::shared_ptr<Item> item)
        {
            return { std::move(item), LockMode::writing() };
        }

        std::optional<ItemLockState> toItemLockState() const;

    private:
        UpgradableLockStateConstraint(std::shared_ptr<Item> item, LockMode mode)
            : item(std::move(item))
            , mode(mode)
        {
        }

        std::shared_ptr<Item> item;
        LockMode mode;
    };

    // Which items the running task holds through withLocks, and how; keyed by file identifier.
    using LockRecord = std::map<Identifier, LockMode>;
    // Task-local; null stands for the empty record. Inherited by child tasks.
    static const tasks::TaskLocal<std::shared_ptr<const LockRecord>> lockState;

    // Acquires exclusive access to every item requested as reading(item, true); fails with
    // a private error that makes withLocks run the operation again with write locks.
    using UpgradeFunction = std::function<tasks::Task<void>()>;

    explicit Item(Identifier fileID);

    Identifier fileID() const { return identifier; }
    std::optional<fskit::FSFileName> debugName() const;
    void setDebugName(std::optional<fskit::FSFileName> name);
    // "Item(<fileID>, <debug name in quotes or <n/a>>)", for log messages.
    std::string description() const;

    // Logs "State of item %s accessed without item being locked" unless the running task holds
    // this item for writing or in exactly `mode`. Never stops the caller.
    void assertLocked(LockMode mode) const;

    // Runs `operation` (a coroutine: () -> Task<R>) holding the locks the constraints ask for.
    // Absent items are dropped; an item named twice gets the mode of its last constraint. Locks
    // are awaited in ascending order of file identifier (so overlapping calls cannot deadlock)
    // and released in reverse order, also when the operation fails; the operation runs with
    // lockState extended by the requested modes. Item locks are not re-entrant: a task must not
    // lock an item it already holds unless both holds are reads.
    // Operations are usually lambdas that capture by reference; one with by-value captures that
    // have destructors is a named variable (g++ 12, see Task.h).
    template <typename Operation>
    static auto withLocks(std::vector<LockStateConstraint> constraints, Operation operation)
        -> tasks::Task<typename std::invoke_result_t<Operation&>::Value>;

    // Runs `operation` (a coroutine: (UpgradeFunction) -> Task<R>) holding the locks the
    // constraints ask for; if its upgrade cannot be granted, runs it once more holding write
    // locks from the start in place of the upgradable ones.
    template <typename Operation>
    static auto withLocks(std::vector<UpgradableLockStateConstraint> constraints, Operation operation)
        -> tasks::Task<typename std::invoke_result_t<Operation&, UpgradeFunction>::Value>;

    // The non-waiting form: runs the synchronous `operation` (() -> R) only if every lock is
    // available at once, and returns its result (true for void); otherwise returns nothing
    // (false) without running it and holding nothing.
    template <typename Operation>
    static auto tryWithLocks(const std::vector<LockStateConstraint>& constraints, Operation&& operation);

    const std::shared_ptr<AsyncReadWriteLock> lock;
    State state = State::active;
    const std::shared_ptr<fskit::FSItemAttributes> attributes;
    std::shared_ptr<FileHandle> fh;

    friend bool operator==(const Item& a, const Item& b) { return a.identifier == b.identifier; }

private:
    using LockedOperation = std::function<tasks::Task<void>(UpgradeFunction)>;

    static tasks::Task<void> lockAndRun(std::vector<ItemLockState> requested, LockedOperation operation);
    static bool tryLockAndRun(std::vector<ItemLockState> requested, const std::function<void()>& operation);

    const Identifier identifier;
    mutable os::UnfairLock debugNameLock;
    std::optional<fskit::FSFileName> debugNameValue VL_GUARDED_BY(debugNameLock);
};

template <typename Operation>
auto Item::withLocks(std::vector<LockStateConstraint> constraints, Operation operation)
    -> tasks::Task<typename std::invoke_result_t<Operation&>::Value>
{
    std::vector<UpgradableLockStateConstraint> upgradable;
    upgradable.reserve(constraints.size());
    for (const LockStateConstraint& constraint : constraints)
        if (std::optional<ItemLockState> state = constraint.toItemLockState())
            upgradable.push_back(state->second.isWriting()
                    ? UpgradableLockStateConstraint::writing(std::move(state->first))
                    : UpgradableLockStateConstraint::reading(std::move(state->first), false));
    co_return co_await withLocks(
        std::move(upgradable), [&operation](UpgradeFunction) { return operation(); });
}

template <typename Operation>
auto Item::withLocks(std::vector<UpgradableLockStateConstraint> constraints, Operation operation)
    -> tasks::Task<typename std::invoke_result_t<Operation&, UpgradeFunction>::Value>
{
    using Result = typename std::invoke_result_t<Operation&, UpgradeFunction>::Value;
    std::vector<ItemLockState> requested;
    requested.reserve(constraints.size());
    for (const UpgradableLockStateConstraint& constraint : constraints)
        if (std::optional<ItemLockState> state = constraint.toItemLockState())
            requested.push_back(std::move(*state));
    if constexpr (std::is_void_v<Result>) {
        co_await lockAndRun(std::move(requested), [&operation](UpgradeFunction upgrade) -> tasks::Task<void> {
            co_await operation(std::move(upgrade));
        });
    } else {
        std::optional<Result> result;
        co_await lockAndRun(
            std::move(requested), [&operation, &result](UpgradeFunction upgrade) -> tasks::Task<void> {
                result.emplace(co_await operation(std::move(upgrade)));
            });
        co_return std::move(*result);
    }
}

template <typename Operation>
auto Item::tryWithLocks(const std::vector<LockStateConstraint>& constraints, Operation&& operation)
{
    using Result = std::invoke_result_t<Operation&>;
    std::vector<ItemLockState> requested;
    requested.reserve(constraints.size());
    for (const LockStateConstraint& constraint : constraints)
        if (std::optional<ItemLockState> state = constraint.toItemLockState())
            requested.push_back(std::move(*state));
    if constexpr (std::is_void_v<Result>) {
        return tryLockAndRun(std::move(requested), [&operation] { operation(); });
    } else {
        std::optional<Result> result;
        tryLockAndRun(std::move(requested), [&operation, &result] { result.emplace(operation()); });
        return result;
    }
}

static_assert(Item::LockMode::reading(false) < Item::LockMode::writing()
    && Item::LockMode::reading(true) < Item::LockMode::writing());
static_assert(!(Item::LockMode::reading(false) < Item::LockMode::reading(true))
    && !(Item::LockMode::reading(true) < Item::LockMode::reading(false)));

} // namespace vl

template <> struct std::hash<vl::Item> {
    std::size_t operator()(const vl::Item& item) const noexcept
    {
        return std::hash<vl::Item::Identifier>()(item.fileID());
    }
};
