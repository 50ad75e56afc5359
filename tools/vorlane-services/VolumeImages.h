// The disk images behind volumes: one file per volume in the image directory, named after the
// volume's UUID, whose first 16 bytes are that UUID, attached as a block device through the
// disk-image tool (DiskImage).
//
// Holds only its settings; every operation may run on any thread. The object must outlive the
// tasks its operations return.
#pragma once

#include "Platform/Foundation/URL.h"
#include "Platform/Foundation/UUID.h"
#include "Platform/Tasks/Task.h"

#include <cstdint>
#include <functional>
#include <string>

namespace services {

struct AttachedDevice {
    std::string devicePath; // as the tool printed it, for example "/dev/loop3"
    std::string bsdName; // its last path component, for example "loop3"
};

class VolumeImages {
public:
    VolumeImages(foundation::URL tool, std::string directory, std::int64_t size);

    // Makes the image directory (and its parents) when it is missing; throws
    // std::filesystem::filesystem_error.
    void prepareDirectory() const;
    std::string imagePath(const foundation::UUID& volume) const;

    // Makes the image of `volume` and writes the UUID into its first 16 bytes; answers its path.
    // Fails with DiskImage::Error when the tool fails, or POSIXError when the UUID cannot be
    // written (the image is removed again then).
    tasks::Task<std::string> create(foundation::UUID volume) const;
    // Attaches the image without mounting it; fails with DiskImage::Error.
    tasks::Task<AttachedDevice> attach(std::string imagePath) const;
    // Detaches the device; fails with DiskImage::Error.
    tasks::Task<void> detach(std::string bsdName) const;
    // Removes the image file; throws POSIXError when it cannot.
    void remove(const std::string& imagePath) const;
    // Detaches every device whose image lies in the image directory, then removes every image
    // there: what an instance that did not end in order left. `report` hears each step done or
    // failed, in one line; the sweep itself never fails.
    tasks::Task<void> sweep(std::function<void(const std::string&)> report) const;

private:
    foundation::URL tool;
    std::string directory;
    std::int64_t size;
};

} // namespace services
