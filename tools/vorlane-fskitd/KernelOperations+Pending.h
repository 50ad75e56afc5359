// One kernel request handed to the volume, shared by the reply handlers of the volume calls that
// answer it. Answered exactly once: by one of the reply calls, or with EIO when the last
// reference goes without one (a reply handler that was dropped). Private to KernelOperations.
#pragma once

#include "vorlane-fskitd/KernelErrors.h"
#include "vorlane-fskitd/KernelOperations.h"

#include "Platform/OS/Signpost.h"

#include <cerrno>
#include <utility>

namespace host {

class KernelOperations::Pending {
public:
    Pending(KernelOperations& operations, fuse_req_t request)
        : operations(operations)
        , request(request)
    {
    }
    ~Pending()
    {
        if (request)
            fuse_reply_err(request, EIO);
        operations.answered();
    }
    Pending(const Pending&) = delete;
    Pending& operator=(const Pending&) = delete;

    // These three also end a request made with no kernel request (the host's own work).
    void fail(const std::exception_ptr& error) { fail(linuxErrnoFor(error)); }
    void fail(int linuxErrno)
    {
        if (fuse_req_t kernelRequest = take())
            fuse_reply_err(kernelRequest, linuxErrno);
    }
    void succeed() { fail(0); }
    void attributes(const struct stat& status) { fuse_reply_attr(take(), &status, attributeTimeout); }
    void bytes(const void* data, std::size_t count)
    {
        fuse_reply_buf(take(), static_cast<const char*>(data), count);
    }
    void written(std::size_t count) { fuse_reply_write(take(), count); }
    void size(std::size_t count) { fuse_reply_xattr(take(), count); }
    void target(const char* link) { fuse_reply_readlink(take(), link); }
    // False when the kernel did not take the answer (the request was interrupted or the
    // session ended): it then holds nothing of what the answer gave.
    bool entry(const fuse_entry_param& entry) { return fuse_reply_entry(take(), &entry) == 0; }
    bool open(const fuse_file_info& file) { return fuse_reply_open(take(), &file) == 0; }
    bool created(const fuse_entry_param& entry, const fuse_file_info& file)
    {
        return fuse_reply_create(take(), &entry, &file) == 0;
    }

private:
    fuse_req_t take()
    {
        os::signpostEvent("host.answer");
        return std::exchange(request, nullptr);
    }

    KernelOperations& operations;
    fuse_req_t request;
};

} // namespace host
