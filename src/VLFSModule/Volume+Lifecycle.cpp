#include "VLFSModule/Volume.h"

#include "Platform/XPC/XPCSession.h"
#include "VLChannel/Request.h"
#include "VLFSModule/FSModuleLogger.h"
#include "VLFSModule/OperationReply.h"
#include "VLFSModule/Service.h"

namespace vl {

tasks::Task<std::shared_ptr<Item>> Volume::activate()
{
    co_return items.get(Item::Identifier::rootDirectory,
        [](Item& root) { root.attributes->setParentID(Item::Identifier::parentOfRoot); });
}

tasks::Task<void> Volume::deactivate()
{
    if (std::shared_ptr<Channel> connected
        = channel.withLock([](std::shared_ptr<Channel>& value) { return value; })) {
        tasks::Result<void> shutDown
            = co_await tasks::catching([](std::shared_ptr<Channel> connected) -> tasks::Task<void> {
                  (void)co_await connected->process(Request::destroy());
                  co_await connected->close();
              }(connected));
        if (shutDown.isSuccess())
            replaceChannel(nullptr);
        else
            fsModule().error("Failed to close channel: %@", shutDown.error());
    }
    xpc::XPCSession session(Service::daemon().machService);
    xpc::XPCDictionary message;
    message.setString("BSDName", device->BSDName());
    message.setString("Operation", "device-deactivate");
    tasks::Result<void> sent = tasks::Result<void>::catching([&] { session.send(message); });
    session.cancel("done");
    sent.get();
}

void Volume::activate(fskit::FSTaskOptions, ItemReply replyHandler)
{
    replyWhenDone(shared_from_this(), activate(), std::move(replyHandler));
}

void Volume::deactivate(fskit::FSDeactivateOptions, ErrorReply replyHandler)
{
    replyWhenDone(shared_from_this(), deactivate(), std::move(replyHandler));
}

void Volume::mount(fskit::FSTaskOptions, ErrorReply replyHandler)
{
    replyHandler(nullptr);
}

void Volume::unmount(std::function<void()> replyHandler)
{
    replyHandler();
}

} // namespace vl
