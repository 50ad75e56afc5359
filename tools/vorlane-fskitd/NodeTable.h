// The FSKit items the host has made known to the Linux kernel: inode number = FSKit file
// identifier − 1 (the root is 1), with the lookups held on each (the kernel's and the host's own)
// and the handles the host has open on it.
//
// An item is reclaimed (the volume's reclaimItem) only when no lookup and no open handle is left.
// A lookup answered with an item whose reclaim is in flight or done is refused: the caller asks the
// volume again once that reclaim has ended, and then gets a new item, so a reclaimed item never
// comes back. Safe to use from any thread; the volume and every callback are called with no lock
// held. Pending reclaims keep the table alive.
//
// The table reclaims through a function (the volume's reclaimItem in the host), so that the order
// of a reclaim and a racing lookup can be chosen in a test.
#pragma once

#include "Platform/FSKit/FSItem.h"
#include "Platform/FSKit/FSVolume.h"
#include "Platform/OS/UnfairLock.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

#include <sys/stat.h>

namespace host {

class NodeTable : public std::enable_shared_from_this<NodeTable> {
public:
    using Inode = std::uint64_t;
    using ItemPointer = std::shared_ptr<fskit::FSItem>;
    using Reclaim = std::function<void(ItemPointer item, fskit::FSVolume::ErrorReply replyHandler)>;

    static constexpr Inode rootInode = 1;
    static Inode inodeOf(fskit::FSItem::Identifier fileID) { return static_cast<Inode>(fileID) - 1; }

    // The root is held until forgetAll, with the one lookup the kernel holds on a mount's root.
    static std::shared_ptr<NodeTable> make(Reclaim reclaim, ItemPointer root);
    // Reclaims through the volume's reclaimItem.
    static std::shared_ptr<NodeTable> make(std::shared_ptr<fskit::FSVolume> volume, ItemPointer root);

    // The item the kernel knows by `inode`, or null.
    ItemPointer item(Inode inode) const;

    // Counts one lookup that the volume answered with `item` (for the kernel or for the host).
    // Returns false and counts nothing when the item has been or is being reclaimed: `retry` then
    // runs once, when that reclaim has ended (at once when it has), and the caller looks up again.
    bool admit(const ItemPointer& item, std::function<void()> retry);
    // Gives an admitted item its inode (from its attributes); from then on the kernel may name it.
    void identify(const ItemPointer& item, Inode inode);
    // The attributes the kernel was last given for an admitted item, which it trusts for as long
    // as it caches them; toldWithin returns them while they are younger than `age`.
    void told(const ItemPointer& item, const struct stat& attributes);
    // Whether an item the kernel was told of is a directory (a kind that never changes); nothing
    // for an item it was never told of.
    std::optional<bool> isDirectory(const ItemPointer& item) const;
    std::optional<struct stat> toldWithin(
        const ItemPointer& item, std::chrono::steady_clock::duration age) const;

    // The kernel has forgotten `count` lookups of `inode`.
    void forget(Inode inode, std::uint64_t count);
    // Gives back `count` lookups of an admitted item that the kernel never received: the host's
    // own lookups (for unlink, rename, link) once it is done, or a lookup whose answer failed.
    void drop(const ItemPointer& item, std::uint64_t count);

    // A handle of the host on the item is open / has been released; false for an unknown inode.
    bool opened(Inode inode);
    void released(Inode inode);

    // Forgets every lookup still held (the root's too) and reclaims every item as soon as it has
    // no open handle. `whenEmpty` runs once the table holds nothing and no reclaim is in flight.
    void forgetAll(std::function<void()> whenEmpty);

    // Lookups held on `inode` (0 when unknown), and the number of items held or being reclaimed.
    std::uint64_t lookups(Inode inode) const;
    std::size_t size() const;

private:
    struct Entry {
        std::optional<Inode> inode;
        std::optional<struct stat> toldAttributes;
        std::chrono::steady_clock::time_point toldAt;
        std::uint64_t lookups = 0;
        std::uint32_t handles = 0;
        bool held = false; // the root, until forgetAll
        bool reclaiming = false;
        std::vector<std::function<void()>> afterReclaim;
    };
    using Entries = std::map<ItemPointer, Entry, std::owner_less<>>;

    NodeTable(Reclaim reclaim, ItemPointer root);

    Entries::iterator entryFor(Inode inode) VL_REQUIRES(lock);
    // Marks the entry reclaiming when nothing holds it; returns the item to reclaim, if any.
    ItemPointer reclaimIfUnused(Entries::iterator entry) VL_REQUIRES(lock);
    void reclaim(const ItemPointer& item);
    void reclaimed(const ItemPointer& item, std::exception_ptr error);

    const Reclaim reclaimItem;
    mutable os::UnfairLock lock;
    Entries entries VL_GUARDED_BY(lock);
    std::unordered_map<Inode, ItemPointer> byInode VL_GUARDED_BY(lock);
    // Items reclaimed that something may still hold (and so hand to admit).
    std::set<std::weak_ptr<fskit::FSItem>, std::owner_less<>> tombstones VL_GUARDED_BY(lock);
    std::vector<std::function<void()>> whenEmptyCallbacks VL_GUARDED_BY(lock);
};

} // namespace host
