// Open files: the kernel's opens and releases as the volume's openItem and closeItem, and reads
// and writes on the handle's item. A kernel handle is an OpenFiles handle; the volume's opens
// and closes of one item run one at a time, so that the modes a close keeps (the union of the
// item's other handles) are empty exactly when the volume's open count reaches zero.
#include "vorlane-fskitd/KernelOperations+Pending.h"

#include "Platform/FSKit/FSMutableFileDataBuffer.h"
#include "Platform/Foundation/Data.h"
#include "Platform/OS/Signpost.h"

#include <fcntl.h>

namespace host {

fskit::FSVolumeOpenModes KernelOperations::modesOf(int flags)
{
    switch (flags & O_ACCMODE) {
    case O_WRONLY:
        return fskit::FSVolumeOpenModes::write;
    case O_RDWR:
        return fskit::FSVolumeOpenModes::read | fskit::FSVolumeOpenModes::write;
    default:
        return fskit::FSVolumeOpenModes::read;
    }
}

void KernelOperations::open(fuse_req_t request, fuse_ino_t inode, fuse_file_info* file, bool directory)
{
    ItemPointer item = itemOrStale(request, inode);
    if (!item)
        return;
    fuse_file_info opened = *file;
    // Nothing is buffered in the host, so the kernel need not send FLUSH at every close.
    opened.noflush = 1;
    // Data changes only through the kernel's own page cache, which is written through; changes
    // behind the mount show once the attributes are refreshed with another size or time.
    opened.keep_cache = directory ? 0 : 1;
    fskit::FSVolumeOpenModes modes = directory ? fskit::FSVolumeOpenModes::read : modesOf(file->flags);
    openHandle(pending(request), item, inode, modes, opened,
        [](Pending& answer, const fuse_file_info& handle) { return answer.open(handle); });
}

void KernelOperations::openHandle(const PendingRequest& request, const ItemPointer& item, fuse_ino_t inode,
    fskit::FSVolumeOpenModes modes, fuse_file_info file, HandOver handOver, std::function<void()> notOpened)
{
    // Counted before the volume opens, so that the item cannot be reclaimed while it is open.
    if (!table->opened(inode)) {
        if (notOpened)
            notOpened();
        return request->fail(ESTALE);
    }
    files.whenIdle(
        item, [this, request, item, inode, modes, file, handOver, notOpened](OpenFiles::Done done) {
            volume->openItem(item, modes,
                [this, request, item, inode, modes, file, handOver, notOpened, done](
                    std::exception_ptr error) {
                    if (error) {
                        done();
                        table->released(inode);
                        if (notOpened)
                            notOpened();
                        return request->fail(error);
                    }
                    OpenFiles::Handle* handle = files.opened(item, inode, modes);
                    done();
                    fuse_file_info given = file;
                    given.fh = reinterpret_cast<std::uintptr_t>(handle);
                    if (!handOver(*request, given))
                        closeHandle(handle, pending(nullptr));
                });
        });
}

void KernelOperations::release(fuse_req_t request, fuse_file_info* file)
{
    closeHandle(handleOf(file), pending(request));
}

void KernelOperations::closeHandle(OpenFiles::Handle* handle, const PendingRequest& request)
{
    ItemPointer item = handle->item;
    files.whenIdle(item, [this, request, item, handle](OpenFiles::Done done) {
        std::uint64_t inode = handle->inode;
        fskit::FSVolumeOpenModes kept = files.closing(handle);
        volume->closeItem(item, kept, [this, request, inode, done](std::exception_ptr error) {
            done();
            table->released(inode);
            // The kernel does not wait for a release and ignores its error.
            if (error)
                request->fail(error);
            else
                request->succeed();
        });
    });
}

void KernelOperations::closeUnreleased()
{
    for (OpenFiles::Handle* handle : files.openHandles())
        closeHandle(handle, pending(nullptr));
}

void KernelOperations::read(fuse_req_t request, std::size_t size, off_t offset, fuse_file_info* file)
{
    os::signpostEvent("host.callback");
    // The volume fills the buffer from the daemon's replies; the kernel gets it from there.
    auto buffer = std::make_shared<fskit::FSMutableFileDataBuffer>(size);
    volume->read(handleOf(file)->item, offset, static_cast<std::int64_t>(size), buffer,
        [answer = pending(request), buffer](std::int64_t count, std::exception_ptr error) {
            if (error)
                return answer->fail(error);
            answer->bytes(buffer->bytesView().data(), static_cast<std::size_t>(count));
        });
}

void KernelOperations::write(
    fuse_req_t request, const char* bytes, std::size_t size, off_t offset, fuse_file_info* file)
{
    os::signpostEvent("host.callback");
    // libfuse reuses its buffer for the next request once this callback returns, so the bytes are
    // copied once, into the Data the volume's requests then reference.
    volume->write(foundation::Data(bytes, size), handleOf(file)->item, offset,
        [answer = pending(request)](std::int64_t count, std::exception_ptr error) {
            if (error)
                return answer->fail(error);
            answer->written(static_cast<std::size_t>(count));
        });
}

void KernelOperations::synchronize(fuse_req_t request)
{
    // FSKit synchronises a whole volume: every open file and directory of it.
    volume->synchronize(fskit::FSSyncFlags::wait, [answer = pending(request)](std::exception_ptr error) {
        if (error)
            return answer->fail(error);
        answer->succeed();
    });
}

} // namespace host
