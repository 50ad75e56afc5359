// The extension's file system: it accepts block devices only, probes each as usable under one
// fixed name and container identifier, and turns each load into one connected Volume.
//
// The file system keeps no state of its own beyond the container status of its base class; the
// volumes it makes belong to FSKit. There is one instance per process, `shared()`.
#pragma once

#include "Platform/FSKit/FSUnaryFileSystem.h"
#include "VLFSModule/Volume.h"

#include <stdexcept>

namespace vl {

class FileSystem final : public fskit::FSUnaryFileSystem {
public:
    class Error : public std::runtime_error {
    public:
        enum class Code { unsupportedResource };
        static Error unsupportedResource() { return Error(Code::unsupportedResource); }
        Code code() const { return errorCode; }

    private:
        explicit Error(Code code)
            : std::runtime_error("The resource is not a block device")
            , errorCode(code)
        {
        }
        Code errorCode;
    };

    static constexpr const char* probeResultName = "Vorlane Volume";
    static const fskit::FSContainerIdentifier& containerIdentifier();

    // `connector` finds the daemon for each new volume; tests replace it.
    explicit FileSystem(Volume::Connector connector = Volume::connect)
        : connector(std::move(connector))
    {
    }

    static FileSystem& shared();

    void probeResource(std::shared_ptr<fskit::FSResource> resource,
        std::function<void(std::optional<fskit::FSProbeResult> result, std::exception_ptr error)>
            replyHandler) override;
    void loadResource(std::shared_ptr<fskit::FSResource> resource, fskit::FSTaskOptions options,
        std::function<void(std::shared_ptr<fskit::FSVolume> volume, std::exception_ptr error)> replyHandler)
        override;
    void unloadResource(std::shared_ptr<fskit::FSResource> resource, fskit::FSTaskOptions options,
        std::function<void(std::exception_ptr error)> replyHandler) override;
    void didFinishLoading() override;

private:
    const Volume::Connector connector;
};

// The entry that the extension host instantiates; its file system is the shared one.
struct FileSystemExtension {
    FileSystem& fileSystem = FileSystem::shared();
};

} // namespace vl
