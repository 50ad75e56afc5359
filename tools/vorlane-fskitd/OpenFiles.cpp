#include "vorlane-fskitd/OpenFiles.h"

#include "Platform/OS/FatalError.h"

#include <numeric>

namespace host {
namespace {

std::size_t total(const std::array<std::uint32_t, 4>& byModes)
{
    return std::accumulate(byModes.begin(), byModes.end(), std::size_t { 0 });
}

} // namespace

void OpenFiles::whenIdle(const ItemPointer& item, std::function<void(Done)> step)
{
    {
        os::UnfairLockGuard guard(lock);
        Entry& entry = entries[item];
        if (entry.running) {
            entry.waiting.push_back(std::move(step));
            return;
        }
        entry.running = true;
    }
    step(doneWith(item));
}

OpenFiles::Done OpenFiles::doneWith(const ItemPointer& item)
{
    return [this, item] { finished(item); };
}

void OpenFiles::finished(const ItemPointer& item)
{
    std::function<void(Done)> next;
    {
        os::UnfairLockGuard guard(lock);
        auto entry = entries.find(item);
        if (entry == entries.end() || !entry->second.running)
            vl::fatalError("An open or close step ended twice", "vorlane-fskitd/OpenFiles");
        if (entry->second.waiting.empty()) {
            entry->second.running = false;
            eraseIfUnused(entry);
            return;
        }
        next = std::move(entry->second.waiting.front());
        entry->second.waiting.pop_front();
    }
    next(doneWith(item));
}

OpenFiles::Handle* OpenFiles::opened(ItemPointer item, std::uint64_t inode, Modes modes)
{
    if (modes.rawValue > 3)
        vl::fatalError("Open modes beyond read and write", "vorlane-fskitd/OpenFiles");
    auto* handle = new Handle { std::move(item), inode, modes };
    os::UnfairLockGuard guard(lock);
    ++entries[handle->item].byModes[modes.rawValue];
    live.insert(handle);
    return handle;
}

OpenFiles::Modes OpenFiles::closing(Handle* handle)
{
    std::unique_ptr<Handle> owned(handle);
    os::UnfairLockGuard guard(lock);
    auto entry = entries.find(owned->item);
    if (entry == entries.end() || entry->second.byModes[owned->modes.rawValue] == 0)
        vl::fatalError("Closing a handle that is not open", "vorlane-fskitd/OpenFiles");
    std::array<std::uint32_t, 4>& byModes = entry->second.byModes;
    --byModes[owned->modes.rawValue];
    live.erase(handle);
    Modes kept;
    for (std::uint32_t raw = 0; raw < byModes.size(); ++raw)
        if (byModes[raw] > 0)
            kept.insert(Modes(raw));
    // The item's step (this close) is running, so the entry stays until it ends.
    return kept;
}

std::size_t OpenFiles::handles(const ItemPointer& item) const
{
    os::UnfairLockGuard guard(lock);
    auto entry = entries.find(item);
    return entry == entries.end() ? 0 : total(entry->second.byModes);
}

std::vector<OpenFiles::Handle*> OpenFiles::openHandles() const
{
    os::UnfairLockGuard guard(lock);
    return std::vector<Handle*>(live.begin(), live.end());
}

void OpenFiles::eraseIfUnused(Entries::iterator entry)
{
    const Entry& state = entry->second;
    if (!state.running && state.waiting.empty() && total(state.byModes) == 0)
        entries.erase(entry);
}

} // namespace host
