// Remembers, per node, that the volume answered "no such attribute" for "security.capability".
//
// The kernel asks for that attribute before every write(2), to drop file capabilities, so without
// this memory each write costs a second round trip to the daemon. An answer is trusted for a
// fixed validity (the attribute timeout: as long as the kernel trusts the attributes it caches);
// setting or removing the attribute through this host, or the kernel forgetting the node, drops it
// at once, and an answer asked for before such a change is not remembered. Safe to use from any
// thread.
#pragma once

#include <fuse_lowlevel.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string_view>
#include <unordered_map>

namespace host {

class CapabilityAbsence {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::string_view attributeName = "security.capability";

    explicit CapabilityAbsence(Clock::duration validity)
        : validity(validity)
    {
    }

    // Taken before the volume is asked; remember() wants it back.
    using Ticket = std::uint64_t;
    Ticket ticket() const;
    // Whether the node is known, at `now`, to have no such attribute.
    bool known(fuse_ino_t node, Clock::time_point now) const;
    // The volume has said that the node has no such attribute, asked since `asked` was taken.
    void remember(fuse_ino_t node, Clock::time_point now, Ticket asked);
    void forget(fuse_ino_t node);

private:
    const Clock::duration validity;
    mutable std::mutex mutex;
    std::unordered_map<fuse_ino_t, Clock::time_point> validUntil;
    Ticket forgets = 0;
};

} // namespace host
