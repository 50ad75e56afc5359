// A one-way channel between processes: a reading and a writing file handle, both close-on-exec.
//
// Handing a pipe to a Process as its standard output makes the child write to it; the parent's
// writing handle is closed at launch, so reading to the end stops when the child exits.
#pragma once

#include "Platform/Foundation/FileHandle.h"

#include <memory>

namespace foundation {

class Pipe {
public:
    // Throws POSIXError when the pipe cannot be made.
    Pipe();

    const std::shared_ptr<FileHandle>& fileHandleForReading() const { return reading; }
    const std::shared_ptr<FileHandle>& fileHandleForWriting() const { return writing; }

private:
    std::shared_ptr<FileHandle> reading;
    std::shared_ptr<FileHandle> writing;
};

} // namespace foundation
