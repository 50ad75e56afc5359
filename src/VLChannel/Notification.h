// A message the daemon sends on its own (its `unique` is 0): the notification code and the payload
// after the fuse_out_header, read front to back. The volume gives no code a meaning of its own.
#pragma once

#include "VLChannel/ConsumableMessage.h"
#include "VLChannel/FuseKernel.h"

#include <utility>

namespace vl {

class Notification : public ConsumableMessage {
public:
    Notification(fuse_notify_code type, DiscontiguousData payload)
        : ConsumableMessage(std::move(payload))
        , notificationType(type)
    {
    }

    fuse_notify_code type() const { return notificationType; }

private:
    fuse_notify_code notificationType;
};

} // namespace vl
