// What a file system answers when FSKit probes a resource: how well it matches, and under which
// name and container identifier it would present the resource. An immutable value.
#pragma once

#include "Platform/FSKit/FSEntityIdentifier.h"

#include <cstdint>
#include <optional>
#include <string>

namespace fskit {

enum class FSMatchResult : std::int64_t {
    notRecognized = 0,
    recognized = 1,
    usableButLimited = 2,
    usable = 3,
};

class FSProbeResult {
public:
    static FSProbeResult usableProbeResult(std::string name, FSContainerIdentifier containerID)
    {
        return FSProbeResult(FSMatchResult::usable, std::move(name), std::move(containerID));
    }
    static FSProbeResult notRecognizedProbeResult()
    {
        return FSProbeResult(FSMatchResult::notRecognized, {}, {});
    }

    FSMatchResult result() const { return matchResult; }
    // Absent for a resource that was not recognised.
    const std::optional<std::string>& name() const { return nameValue; }
    const std::optional<FSContainerIdentifier>& containerID() const { return containerIDValue; }

private:
    FSProbeResult(FSMatchResult result, std::optional<std::string> name,
        std::optional<FSContainerIdentifier> containerID)
        : matchResult(result)
        , nameValue(std::move(name))
        , containerIDValue(std::move(containerID))
    {
    }

    FSMatchResult matchResult;
    std::optional<std::string> nameValue;
    std::optional<FSContainerIdentifier> containerIDValue;
};

} // namespace fskit
