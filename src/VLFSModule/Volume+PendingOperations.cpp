// The file operations that this build of the volume does not bridge to the daemon yet. Each one
// answers FSKit at once with ENOSYS, so a caller sees a clear refusal instead of a hang.
#include "VLFSModule/Volume.h"

#include "Platform/FSKit/FSError.h"
#include "Platform/Foundation/POSIXErrorCode.h"


namespace vl {
namespace {

std::exception_ptr notBridged()
{
    return std::make_exception_ptr(fskit::fs_errorForPOSIXError(posix::enosys));
}

} // namespace

void Volume::readSymbolicLink(ItemPointer, NameReply replyHandler)
{
    replyHandler(std::nullopt, notBridged());
}

void Volume::createItem(fskit::FSFileName, fskit::FSItemType, ItemPointer,
                        std::shared_ptr<fskit::FSItemSetAttributesRequest>, ItemAndNameReply replyHandler)
{
    replyHandler(nullptr, std::nullopt, notBridged());
}

void Volume::createSymbolicLink(fskit::FSFileName, ItemPointer, std::shared_ptr<fskit::FSItemSetAttributesRequest>,
                                fskit::FSFileName, ItemAndNameReply replyHandler)
{
    replyHandler(nullptr, std::nullopt, notBridged());
}

void Volume::createLink(ItemPointer, fskit::FSFileName, ItemPointer, NameReply replyHandler)
{
    replyHandler(std::nullopt, notBridged());
}

} // namespace vl
