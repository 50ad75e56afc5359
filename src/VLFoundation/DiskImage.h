// Raw disk images through the platform's disk-image tool: create one of a given size without a
// partition layout, attach it without mounting (yielding its device), detach a device, and find
// the image file behind a device.
//
// Each operation runs the tool once as a child process and suspends the caller until it exits.
// The tool is "/usr/bin/hdiutil" on macOS and the project's stand-in script on Linux
// (defaultToolURL()); every operation takes another tool as its last argument, for tests.
// The tool's standard error is neither redirected nor read; its standard output is read while it
// runs, so that no output is too long for it.
#pragma once

#include "Platform/Foundation/PropertyList.h"
#include "Platform/Foundation/URL.h"
#include "Platform/Tasks/Task.h"

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

namespace vl::DiskImage {

class Error : public std::exception {
public:
    enum class Case { createFailed, attachFailed, detachFailed, attachDeviceLookupFailed };

    static Error createFailed(std::int32_t status) { return Error(Case::createFailed, status); }
    static Error attachFailed(std::int32_t status) { return Error(Case::attachFailed, status); }
    static Error detachFailed(std::int32_t status) { return Error(Case::detachFailed, status); }
    static Error attachDeviceLookupFailed() { return Error(Case::attachDeviceLookupFailed, std::nullopt); }

    Case errorCase() const { return which; }
    // The tool's exit status, for every case but attachDeviceLookupFailed.
    std::optional<std::int32_t> status() const { return exitStatus; }
    const char* what() const noexcept override { return text.c_str(); }

    friend bool operator==(const Error& left, const Error& right)
    {
        return left.which == right.which && left.exitStatus == right.exitStatus;
    }

private:
    Error(Case which, std::optional<std::int32_t> status);

    Case which;
    std::optional<std::int32_t> exitStatus;
    std::string text;
};

// The tool's "info -plist" output; every key is required.
struct SystemEntity {
    std::string devEntry; // "dev-entry"
};

struct Image {
    std::string imagePath; // "image-path"
    std::vector<SystemEntity> systemEntities; // "system-entities"
};

struct Info {
    std::vector<Image> images; // "images"

    // Throws foundation::DecodingError for a missing key or a value of another type.
    static Info decode(const foundation::PropertyList& propertyList);
};

foundation::URL defaultToolURL();

// Makes an image of `size` bytes at `image`; createFailed when the tool exits non-zero.
tasks::Task<void> create(foundation::URL image, std::int64_t size, foundation::URL tool = defaultToolURL());
// Attaches `image` without mounting it and answers the device's file URL; attachFailed when the
// tool exits non-zero, attachDeviceLookupFailed when it printed nothing.
tasks::Task<foundation::URL> attach(foundation::URL image, foundation::URL tool = defaultToolURL());
// Detaches the device named `bsdName`, passed on as given; detachFailed when the tool exits non-zero.
tasks::Task<void> detach(std::string bsdName, foundation::URL tool = defaultToolURL());
// Every attached image and its devices, or absent when the tool fails or prints nothing; throws
// foundation::DecodingError when its output is not what "info -plist" prints.
tasks::Task<std::optional<Info>> info(foundation::URL tool = defaultToolURL());
// The image attached as /dev/`bsdName`, or absent (also when the tool fails or prints nothing).
tasks::Task<std::optional<foundation::URL>> url(std::string bsdName, foundation::URL tool = defaultToolURL());

} // namespace vl::DiskImage
