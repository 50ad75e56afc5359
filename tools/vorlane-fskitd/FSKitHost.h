// Plays FSKit's part for one block device: probes and loads it with a unary file system,
// activates and mounts the volume, and at the end unmounts, deactivates and unloads it.
//
// Each step waits for the file system's reply handler; a step that fails ends the run with that
// error (steps already done are undone where FSKit would undo them: a loaded volume is still
// deactivated). report() describes what FSKit was told, one "key: value" line per fact.
#pragma once

#include "Platform/FSKit/FSBlockDeviceResource.h"
#include "Platform/FSKit/FSUnaryFileSystem.h"
#include "Platform/FSKit/FSVolume.h"

#include <memory>
#include <string>

namespace host {

class FSKitHost {
public:
    FSKitHost(fskit::FSUnaryFileSystem& fileSystem, std::shared_ptr<fskit::FSBlockDeviceResource> device);

    // Probe, load, activate and mount; throws the first failure.
    void start();
    // Unmount, deactivate and unload whatever start() set up; throws the first failure after
    // trying every step.
    void stop();

    std::string report();

    // The volume and its root item once start() has succeeded; null before and after.
    const std::shared_ptr<fskit::FSVolume>& loadedVolume() const { return volume; }
    const std::shared_ptr<fskit::FSItem>& rootItem() const { return root; }

private:
    fskit::FSUnaryFileSystem& fileSystem;
    const std::shared_ptr<fskit::FSBlockDeviceResource> device;
    std::string probedName;
    std::shared_ptr<fskit::FSVolume> volume;
    std::shared_ptr<fskit::FSItem> root;
    bool mounted = false;
};

} // namespace host
