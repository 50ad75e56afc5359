#include "VLChannel/DirectoryEntry.h"

namespace vl {

std::optional<DirectoryEntry> DirectoryEntry::consumeNext(ConsumableMessage& payload)
{
    if (payload.unconsumedCount() <= static_cast<std::ptrdiff_t>(sizeof(fuse_dirent)))
        return std::nullopt;
    DirectoryEntry entry;
    entry.dirent = payload.consumePart<fuse_dirent>([](const fuse_dirent& dirent) { return dirent; });
    entry.name = payload.consumePart(
        static_cast<std::ptrdiff_t>(entry.dirent.namelen), [](std::span<const std::byte> bytes) {
            return std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        });
    payload.consumePart(paddingCount(entry.dirent.namelen));
    return entry;
}

} // namespace vl
