// The state of a file system's container as FSKit shows it, with the error that explains a
// not-ready or blocked container. An immutable value.
#pragma once

#include <cstdint>
#include <exception>

namespace fskit {

enum class FSContainerState : std::int64_t {
    notReady = 0,
    blocked = 1,
    ready = 2,
    active = 3,
};

class FSContainerStatus {
public:
    static FSContainerStatus ready() { return FSContainerStatus(FSContainerState::ready, nullptr); }
    static FSContainerStatus active() { return FSContainerStatus(FSContainerState::active, nullptr); }
    static FSContainerStatus notReady(std::exception_ptr status)
    {
        return { FSContainerState::notReady, status };
    }
    static FSContainerStatus blocked(std::exception_ptr status)
    {
        return { FSContainerState::blocked, status };
    }

    FSContainerState state() const { return stateValue; }
    const std::exception_ptr& status() const { return statusValue; }

private:
    FSContainerStatus(FSContainerState state, std::exception_ptr status)
        : stateValue(state)
        , statusValue(std::move(status))
    {
    }

    FSContainerState stateValue;
    std::exception_ptr statusValue;
};

} // namespace fskit
