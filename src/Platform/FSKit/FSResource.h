// A resource that FSKit offers to a file system to probe and load.
//
// Polymorphic: a file system tells the kinds apart by dynamic type (FSBlockDeviceResource is
// the only kind this layer provides). Resources are shared through std::shared_ptr.
#pragma once

namespace fskit {

class FSResource {
public:
    virtual ~FSResource() = default;

    FSResource(const FSResource&) = delete;
    FSResource& operator=(const FSResource&) = delete;

protected:
    FSResource() = default;
};

} // namespace fskit
