// The answer to FUSE_ACCESS from a node's attributes: whether the caller named by the request's
// uid and gid may read, write or execute (search) it by its permission bits, as Linux decides
// it (uid 0 reads and writes anything and executes what has any execute bit or is a directory).
// The mask is Darwin's: R_OK 4, W_OK 2, X_OK 1, and the extended bits 0x200 to 0x200000 that a
// volume sends when the daemon announces extended checks, each checked as the plain bit of its
// kind (reading data, attributes, extended attributes or security as R_OK, execution as X_OK,
// every change as W_OK). Other bits are EINVAL; a refusal is EACCES (Darwin values).
#pragma once

#include "VLChannel/FuseKernel.h"

#include <cstdint>

namespace fused {

void checkAccess(const vl::fuse_attr& attributes, std::uint32_t uid, std::uint32_t gid, std::uint32_t mask);

} // namespace fused
