// The handles the host has open on the volume's items for the kernel, per item: the modes each
// handle was opened with, so that a close tells the volume the union of the modes its other
// handles still hold (empty at the last close), and the order of the volume's open and close
// calls of one item, which run one at a time so that the volume counts the opens the host counts.
//
// Safe to use from any thread; steps run with no lock held. Items are independent: open and close
// calls of different items never wait for each other.
#pragma once

#include "Platform/FSKit/FSItem.h"
#include "Platform/FSKit/FSOptions.h"
#include "Platform/OS/UnfairLock.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace host {

class OpenFiles {
public:
    using ItemPointer = std::shared_ptr<fskit::FSItem>;
    using Modes = fskit::FSVolumeOpenModes;
    // Ends the step that was given it; call exactly once, when the volume has answered.
    using Done = std::function<void()>;

    // One of the kernel's file handles (fuse_file_info::fh points at it), from a successful open
    // to its release.
    struct Handle {
        ItemPointer item;
        std::uint64_t inode;
        Modes modes;
    };

    // Runs `step` once no other step of the item is running: at once on this thread when none
    // is, else on the thread that ends the one before.
    void whenIdle(const ItemPointer& item, std::function<void(Done)> step);

    // The volume has opened the item for a new handle.
    Handle* opened(ItemPointer item, std::uint64_t inode, Modes modes);
    // Takes the handle away and returns the union of the modes of the item's other handles.
    Modes closing(Handle* handle);

    // The handles open on `item`.
    std::size_t handles(const ItemPointer& item) const;
    // Every handle still open, for closing what the kernel will no longer release.
    std::vector<Handle*> openHandles() const;

private:
    struct Entry {
        // Handles by the raw value of their modes (0 to 3).
        std::array<std::uint32_t, 4> byModes {};
        bool running = false;
        std::deque<std::function<void(Done)>> waiting;
    };
    using Entries = std::map<ItemPointer, Entry, std::owner_less<>>;

    Done doneWith(const ItemPointer& item);
    void finished(const ItemPointer& item);
    void eraseIfUnused(Entries::iterator entry) VL_REQUIRES(lock);

    mutable os::UnfairLock lock;
    Entries entries VL_GUARDED_BY(lock);
    std::set<Handle*> live VL_GUARDED_BY(lock);
};

} // namespace host
