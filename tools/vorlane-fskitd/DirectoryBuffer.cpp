#include "vorlane-fskitd/DirectoryBuffer.h"

#include "vorlane-fskitd/KernelAttributes.h"
#include "vorlane-fskitd/NodeTable.h"

#include <fuse_lowlevel.h>
#include <sys/stat.h>

#include <string>

namespace host {

fskit::FSDirectoryCookie DirectoryBuffer::start(off_t offset, std::uint64_t directory)
{
    if (offset != 0 && offset != afterDot && offset != afterDotDot)
        return static_cast<fskit::FSDirectoryCookie>(offset);
    // A record that does not fit is offered again at the next call (the kernel's buffer is a page).
    if (offset == 0 && !add(".", directory, S_IFDIR, afterDot))
        return fskit::FSDirectoryCookieInitial;
    if (offset != afterDotDot)
        add("..", directory, S_IFDIR, afterDotDot);
    return fskit::FSDirectoryCookieInitial;
}

bool DirectoryBuffer::packEntry(const fskit::FSFileName& name, fskit::FSItemType itemType,
    fskit::FSItem::Identifier itemID, fskit::FSDirectoryCookie nextCookie, const fskit::FSItemAttributes*)
{
    std::span<const std::uint8_t> text = name.data();
    return add(std::string_view(reinterpret_cast<const char*>(text.data()), text.size()),
        NodeTable::inodeOf(itemID), typeBits(itemType), static_cast<off_t>(nextCookie));
}

bool DirectoryBuffer::add(std::string_view name, std::uint64_t inode, mode_t type, off_t nextOffset)
{
    // libfuse reads the name up to its zero byte; file names hold none.
    std::string terminated(name);
    struct stat status { };
    status.st_ino = inode;
    status.st_mode = type;
    std::size_t needed = fuse_add_direntry(nullptr, nullptr, 0, terminated.c_str(), nullptr, 0);
    if (needed > bytes.size() - used)
        return false;
    used += fuse_add_direntry(
        nullptr, bytes.data() + used, bytes.size() - used, terminated.c_str(), &status, nextOffset);
    return true;
}

} // namespace host
