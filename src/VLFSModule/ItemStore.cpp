#include "VLFSModule/ItemStore.h"

#include "Platform/OS/FatalError.h"
#include "Platform/Tasks/TaskGroup.h"

#include <vector>

namespace vl {

const char* Item::Store::Error::what() const noexcept
{
    switch (errorCode) {
    case Code::itemNotFound:
        return "itemNotFound";
    case Code::itemCollision:
        return "itemCollision";
    }
    return "unknown item store error";
}

std::shared_ptr<Item> Item::Store::get(Identifier identifier, const std::function<void(Item&)>& initializer)
{
    return table.withLock([&](std::unordered_map<Identifier, Entry>& entries) {
        if (auto existing = entries.find(identifier); existing != entries.end()) {
            existing->second.lookups += 1;
            return existing->second.item;
        }
        auto item = std::make_shared<Item>(identifier);
        // Nothing else can reach the new item yet, so its lock is always free.
        if (!tryWithLocks({ LockStateConstraint::writing(item) }, [&] { initializer(*item); }))
            fatalError("New item is already locked", "VLFSModule/ItemStore");
        entries.emplace(identifier, Entry { item, 1 });
        return item;
    });
}

std::int64_t Item::Store::remove(const Item& item)
{
    return table.withLock([&](std::unordered_map<Identifier, Entry>& entries) {
        const auto entry = entries.find(item.fileID());
        if (entry == entries.end())
            throw Error::itemNotFound();
        const std::int64_t lookups = entry->second.lookups;
        entries.erase(entry);
        return lookups;
    });
}

tasks::Task<void> Item::Store::forEach(std::function<tasks::Task<void>(std::shared_ptr<Item>)> body)
{
    const std::vector<std::shared_ptr<Item>> items
        = table.withLock([](std::unordered_map<Identifier, Entry>& entries) {
              std::vector<std::shared_ptr<Item>> snapshot;
              snapshot.reserve(entries.size());
              for (const auto& [identifier, entry] : entries)
                  snapshot.push_back(entry.item);
              return snapshot;
          });
    co_await tasks::withThrowingDiscardingTaskGroup(
        [&](tasks::DiscardingTaskGroup& group) -> tasks::Task<void> {
            for (const std::shared_ptr<Item>& item : items)
                group.addTask(body(item));
            co_return;
        });
}

} // namespace vl
