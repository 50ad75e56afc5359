// Whole transfers over a file descriptor: reading until a buffer is full or the stream ends, and
// writing until every byte has gone, each continuing after short transfers and EINTR. Failures
// throw POSIXError naming the call. Sockets are written with send(MSG_NOSIGNAL), so that a peer
// that has gone away is an EPIPE rather than a SIGPIPE; other descriptors with write(). Both
// block the calling thread for as long as the descriptor does.
#pragma once

#include <cstddef>
#include <span>

namespace foundation {

// Returns the count read: buffer.size(), or less when the stream ended first.
std::size_t readCompletely(int descriptor, std::span<std::byte> buffer);

void writeCompletely(int descriptor, std::span<const std::byte> bytes);

} // namespace foundation
