// What the host answers the Linux kernel when a volume operation fails.
//
// The volume's errors carry Darwin errno values (fskit::FSError, foundation::POSIXError); the
// kernel gets the Linux errno of the same meaning. Any other failure becomes EIO.
#pragma once

#include <exception>

namespace host {

int linuxErrnoFor(const std::exception_ptr& error);

} // namespace host
