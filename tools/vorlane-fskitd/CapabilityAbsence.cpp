#include "vorlane-fskitd/CapabilityAbsence.h"

namespace host {

CapabilityAbsence::Ticket CapabilityAbsence::ticket() const
{
    std::lock_guard guard(mutex);
    return forgets;
}

bool CapabilityAbsence::known(fuse_ino_t node, Clock::time_point now) const
{
    std::lock_guard guard(mutex);
    auto found = validUntil.find(node);
    return found != validUntil.end() && now < found->second;
}

void CapabilityAbsence::remember(fuse_ino_t node, Clock::time_point now, Ticket asked)
{
    std::lock_guard guard(mutex);
    if (asked == forgets)
        validUntil[node] = now + validity;
}

void CapabilityAbsence::forget(fuse_ino_t node)
{
    std::lock_guard guard(mutex);
    validUntil.erase(node);
    ++forgets;
}

} // namespace host
