// Owns one file descriptor and closes it when released (unless made not to own it).
//
// close() closes it early and reports a failure; after that the handle holds no descriptor and
// every read or write fails with EBADF. One handle is used by one thread at a time: closing it
// while another thread reads from it is a caller error. Shared through std::shared_ptr.
#pragma once

#include "Platform/Foundation/Data.h"

#include <memory>
#include <optional>
#include <string>

namespace foundation {

class FileHandle {
public:
    explicit FileHandle(int fileDescriptor, bool closeOnDealloc = true);
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    // A handle on `path` opened for writing, or null when it cannot be opened.
    static std::shared_ptr<FileHandle> forWritingAtPath(const std::string& path);
    static std::shared_ptr<FileHandle> forReadingAtPath(const std::string& path);

    // The descriptor, or -1 once the handle is closed.
    int fileDescriptor() const { return descriptor; }

    // Closes the descriptor now; throws POSIXError when close fails or the handle is closed.
    void close();

    // Reads until end of file: absent when nothing was read; a read error is thrown.
    std::optional<Data> readToEnd();

    // Writes every byte; a write error is thrown.
    void write(const Data& data);

private:
    int descriptor;
    bool ownsDescriptor;
};

} // namespace foundation
