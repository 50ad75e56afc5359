// Directory listing: opendir and releasedir open and close the directory on the volume like a file
// opened for reading, and readdir packs the volume's enumeration into the kernel's buffer.
#include "vorlane-fskitd/DirectoryBuffer.h"
#include "vorlane-fskitd/KernelOperations+Pending.h"

namespace host {

void KernelOperations::readdir(
    fuse_req_t request, fuse_ino_t inode, std::size_t size, off_t offset, fuse_file_info* file)
{
    auto buffer = std::make_shared<DirectoryBuffer>(size);
    fskit::FSDirectoryCookie cookie = buffer->start(offset, inode);
    volume->enumerateDirectory(handleOf(file)->item, cookie, fskit::FSDirectoryVerifierInitial, nullptr,
        buffer, [answer = pending(request), buffer](fskit::FSDirectoryVerifier, std::exception_ptr error) {
            // Entries packed before a failure go to the kernel; its next readdir meets the failure.
            if (error && buffer->size() == 0)
                return answer->fail(error);
            answer->bytes(buffer->data(), buffer->size());
        });
}

} // namespace host
