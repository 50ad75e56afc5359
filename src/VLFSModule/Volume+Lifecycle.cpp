#include "VLFSModule/Volume.h"

#include "Platform/Tasks/Spawn.h"
#include "Platform/XPC/XPCSession.h"
#include "VLChannel/Request.h"
#include "VLFSModule/FSModuleLogger.h"
#include "VLFSModule/Service.h"

namespace vl {
namespace {

tasks::Task<void> replyWithError(tasks::Task<void> body, fskit::FSVolume::ErrorReply replyHandler)
{
    tasks::Result<void> outcome = co_await tasks::catching(std::move(body));
    replyHandler(outcome.error());
}

tasks::Task<void> replyWithItem(tasks::Task<std::shared_ptr<Item>> body, fskit::FSVolume::ItemReply replyHandler)
{
    tasks::Result<std::shared_ptr<Item>> outcome = co_await tasks::catching(std::move(body));
    if (outcome.isSuccess())
        replyHandler(outcome.get(), nullptr);
    else
        replyHandler(nullptr, outcome.error());
}

} // namespace

tasks::Task<std::shared_ptr<Item>> Volume::activate()
{
    co_return items.get(Item::Identifier::rootDirectory, [](Item& root) {
        root.attributes->setParentID(Item::Identifier::parentOfRoot);
    });
}

tasks::Task<void> Volume::deactivate()
{
    if (std::shared_ptr<Channel> connected = channel.withLock([](std::shared_ptr<Channel>& value) { return value; })) {
        tasks::Result<void> shutDown = co_await tasks::catching([](std::shared_ptr<Channel> connected) -> tasks::Task<void> {
            (void)co_await connected->process(Request::destroy(), std::chrono::nanoseconds::zero());
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
    (void)tasks::spawn(replyWithItem(activate(), std::move(replyHandler)));
}

void Volume::deactivate(fskit::FSDeactivateOptions, ErrorReply replyHandler)
{
    (void)tasks::spawn(replyWithError(deactivate(), std::move(replyHandler)));
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
