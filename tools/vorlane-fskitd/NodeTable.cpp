#include "vorlane-fskitd/NodeTable.h"

#include "Platform/OS/FatalError.h"
#include "Platform/OS/Logger.h"
#include "VLFoundation/BuildConfig.h"

#include <algorithm>
#include <string>

namespace host {
namespace {

const os::Logger& tableLog()
{
    static const os::Logger* const logger
        = new os::Logger(std::string(vl::BuildConfig::variantIdentifier), "fskitd");
    return *logger;
}

} // namespace

std::shared_ptr<NodeTable> NodeTable::make(Reclaim reclaim, ItemPointer root)
{
    return std::shared_ptr<NodeTable>(new NodeTable(std::move(reclaim), std::move(root)));
}

std::shared_ptr<NodeTable> NodeTable::make(std::shared_ptr<fskit::FSVolume> volume, ItemPointer root)
{
    return make(
        [volume](ItemPointer item, fskit::FSVolume::ErrorReply replyHandler) {
            volume->reclaimItem(std::move(item), std::move(replyHandler));
        },
        std::move(root));
}

NodeTable::NodeTable(Reclaim reclaim, ItemPointer root)
    : reclaimItem(std::move(reclaim))
{
    os::UnfairLockGuard guard(lock);
    entries.emplace(root, Entry { .inode = rootInode, .lookups = 1, .held = true });
    byInode.emplace(rootInode, std::move(root));
}

NodeTable::ItemPointer NodeTable::item(Inode inode) const
{
    os::UnfairLockGuard guard(lock);
    auto found = byInode.find(inode);
    return found == byInode.end() ? nullptr : found->second;
}

bool NodeTable::admit(const ItemPointer& item, std::function<void()> retry)
{
    {
        os::UnfairLockGuard guard(lock);
        auto found = entries.find(item);
        if (found != entries.end() && !found->second.reclaiming) {
            ++found->second.lookups;
            return true;
        }
        if (found != entries.end()) {
            found->second.afterReclaim.push_back(std::move(retry));
            return false;
        }
        if (!tombstones.contains(item)) {
            entries.emplace(item, Entry { .lookups = 1 });
            return true;
        }
    }
    retry();
    return false;
}

void NodeTable::identify(const ItemPointer& item, Inode inode)
{
    os::UnfairLockGuard guard(lock);
    auto found = entries.find(item);
    // The admitted lookup holds the entry until the caller has identified it.
    if (found == entries.end() || found->second.reclaiming)
        vl::fatalError("Identified an item that was not admitted", "vorlane-fskitd/NodeTable");
    if (found->second.inode && *found->second.inode != inode)
        vl::fatalError("An item changed its file identifier", "vorlane-fskitd/NodeTable");
    auto [slot, inserted] = byInode.try_emplace(inode, item);
    if (!inserted && slot->second != item)
        vl::fatalError("Two live items have the same file identifier", "vorlane-fskitd/NodeTable");
    found->second.inode = inode;
}

NodeTable::Entries::iterator NodeTable::entryFor(Inode inode)
{
    auto found = byInode.find(inode);
    return found == byInode.end() ? entries.end() : entries.find(found->second);
}

NodeTable::ItemPointer NodeTable::reclaimIfUnused(Entries::iterator entry)
{
    Entry& node = entry->second;
    if (node.lookups > 0 || node.handles > 0 || node.held || node.reclaiming)
        return nullptr;
    node.reclaiming = true;
    // From now on the kernel no longer knows the inode; a new item may take it.
    if (node.inode)
        byInode.erase(*node.inode);
    return entry->first;
}

void NodeTable::forget(Inode inode, std::uint64_t count)
{
    ItemPointer unused;
    {
        os::UnfairLockGuard guard(lock);
        auto entry = entryFor(inode);
        if (entry == entries.end())
            return;
        entry->second.lookups -= std::min(count, entry->second.lookups);
        unused = reclaimIfUnused(entry);
    }
    if (unused)
        reclaim(unused);
}

void NodeTable::drop(const ItemPointer& item, std::uint64_t count)
{
    ItemPointer unused;
    {
        os::UnfairLockGuard guard(lock);
        auto entry = entries.find(item);
        if (entry == entries.end() || entry->second.reclaiming)
            return;
        entry->second.lookups -= std::min(count, entry->second.lookups);
        unused = reclaimIfUnused(entry);
    }
    if (unused)
        reclaim(unused);
}

bool NodeTable::opened(Inode inode)
{
    os::UnfairLockGuard guard(lock);
    auto entry = entryFor(inode);
    if (entry == entries.end())
        return false;
    ++entry->second.handles;
    return true;
}

void NodeTable::released(Inode inode)
{
    ItemPointer unused;
    {
        os::UnfairLockGuard guard(lock);
        auto entry = entryFor(inode);
        if (entry == entries.end() || entry->second.handles == 0)
            return;
        --entry->second.handles;
        unused = reclaimIfUnused(entry);
    }
    if (unused)
        reclaim(unused);
}

void NodeTable::forgetAll(std::function<void()> whenEmpty)
{
    std::vector<ItemPointer> unused;
    bool empty = false;
    {
        os::UnfairLockGuard guard(lock);
        for (auto entry = entries.begin(); entry != entries.end(); ++entry) {
            entry->second.lookups = 0;
            entry->second.held = false;
            if (ItemPointer item = reclaimIfUnused(entry))
                unused.push_back(std::move(item));
        }
        empty = entries.empty();
        if (!empty && whenEmpty)
            whenEmptyCallbacks.push_back(std::move(whenEmpty));
    }
    for (const ItemPointer& item : unused)
        reclaim(item);
    if (empty && whenEmpty)
        whenEmpty();
}

void NodeTable::reclaim(const ItemPointer& item)
{
    reclaimItem(item, [table = shared_from_this(), item](std::exception_ptr error) {
        table->reclaimed(item, std::move(error));
    });
}

void NodeTable::reclaimed(const ItemPointer& item, std::exception_ptr error)
{
    // A reclaim fails only when the volume has lost its daemon; the item is let go either way.
    if (error)
        tableLog().error("Failed to reclaim item: %@", error);
    std::vector<std::function<void()>> retries;
    std::vector<std::function<void()>> emptied;
    {
        os::UnfairLockGuard guard(lock);
        auto entry = entries.find(item);
        retries = std::move(entry->second.afterReclaim);
        entries.erase(entry);
        std::erase_if(tombstones, [](const std::weak_ptr<fskit::FSItem>& gone) { return gone.expired(); });
        tombstones.insert(item);
        if (entries.empty())
            emptied = std::move(whenEmptyCallbacks);
    }
    for (const auto& retry : retries)
        retry();
    for (const auto& callback : emptied)
        callback();
}

std::optional<bool> NodeTable::isDirectory(const ItemPointer& item) const
{
    os::UnfairLockGuard guard(lock);
    auto found = entries.find(item);
    if (found == entries.end() || !found->second.toldAttributes)
        return std::nullopt;
    return S_ISDIR(found->second.toldAttributes->st_mode);
}

void NodeTable::told(const ItemPointer& item, const struct stat& attributes)
{
    os::UnfairLockGuard guard(lock);
    auto found = entries.find(item);
    if (found == entries.end())
        return;
    found->second.toldAttributes = attributes;
    found->second.toldAt = std::chrono::steady_clock::now();
}

std::optional<struct stat> NodeTable::toldWithin(
    const ItemPointer& item, std::chrono::steady_clock::duration age) const
{
    os::UnfairLockGuard guard(lock);
    auto found = entries.find(item);
    if (found == entries.end() || !found->second.toldAttributes
        || std::chrono::steady_clock::now() - found->second.toldAt >= age)
        return std::nullopt;
    return found->second.toldAttributes;
}

std::uint64_t NodeTable::lookups(Inode inode) const
{
    os::UnfairLockGuard guard(lock);
    auto found = byInode.find(inode);
    if (found == byInode.end())
        return 0;
    return entries.find(found->second)->second.lookups;
}

std::size_t NodeTable::size() const
{
    os::UnfairLockGuard guard(lock);
    return entries.size();
}

} // namespace host
