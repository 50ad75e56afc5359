#include "VLFSModule/OperationReply.h"

#include "Platform/Tasks/Spawn.h"

#include <utility>

namespace vl {
namespace {

// The frame holds `keepAlive` until the reply handler has returned.
template <typename T, typename Deliver>
tasks::Task<void> runAndReply([[maybe_unused]] KeepAlive keepAlive, tasks::Task<T> operation, Deliver deliver)
{
    tasks::Result<T> outcome = co_await tasks::catching(std::move(operation));
    deliver(std::move(outcome));
}

template <typename T, typename Deliver>
void start(KeepAlive keepAlive, tasks::Task<T> operation, Deliver deliver)
{
    (void)tasks::spawn(runAndReply(std::move(keepAlive), std::move(operation), std::move(deliver)));
}

// Delivers a plain value to a handler that takes (value, error); `failed` goes with an error.
template <typename Value, typename Handler> auto valueOrError(Handler replyHandler, Value failed)
{
    return [replyHandler = std::move(replyHandler), failed](tasks::Result<Value> outcome) {
        if (outcome.isSuccess())
            replyHandler(std::move(outcome).get(), nullptr);
        else
            replyHandler(failed, outcome.error());
    };
}

// Delivers a pointer result to a handler that takes (pointer, error).
template <typename Pointee, typename Handler> auto pointerOrError(Handler replyHandler)
{
    return [replyHandler = std::move(replyHandler)](tasks::Result<std::shared_ptr<Pointee>> outcome) {
        if (outcome.isSuccess())
            replyHandler(std::move(outcome).get(), nullptr);
        else
            replyHandler(nullptr, outcome.error());
    };
}

} // namespace

void replyWhenDone(KeepAlive keepAlive, tasks::Task<void> operation, fskit::FSVolume::ErrorReply replyHandler)
{
    start(std::move(keepAlive), std::move(operation),
        [replyHandler = std::move(replyHandler)](
            tasks::Result<void> outcome) { replyHandler(outcome.error()); });
}

void replyWhenDone(KeepAlive keepAlive, tasks::Task<std::shared_ptr<Item>> operation,
    fskit::FSVolume::ItemReply replyHandler)
{
    start(std::move(keepAlive), std::move(operation), pointerOrError<Item>(std::move(replyHandler)));
}

void replyWhenDone(KeepAlive keepAlive, tasks::Task<std::shared_ptr<fskit::FSItemAttributes>> operation,
    fskit::FSVolume::AttributesReply replyHandler)
{
    start(std::move(keepAlive), std::move(operation),
        pointerOrError<fskit::FSItemAttributes>(std::move(replyHandler)));
}

void replyWhenDone(
    KeepAlive keepAlive, tasks::Task<ItemAndName> operation, fskit::FSVolume::ItemAndNameReply replyHandler)
{
    start(std::move(keepAlive), std::move(operation),
        [replyHandler = std::move(replyHandler)](tasks::Result<ItemAndName> outcome) {
            if (outcome.isSuccess()) {
                ItemAndName found = std::move(outcome).get();
                replyHandler(std::move(found.item), std::move(found.name), nullptr);
            } else {
                replyHandler(nullptr, std::nullopt, outcome.error());
            }
        });
}

void replyWhenDone(
    KeepAlive keepAlive, tasks::Task<fskit::FSFileName> operation, fskit::FSVolume::NameReply replyHandler)
{
    start(std::move(keepAlive), std::move(operation),
        [replyHandler = std::move(replyHandler)](tasks::Result<fskit::FSFileName> outcome) {
            if (outcome.isSuccess())
                replyHandler(std::move(outcome).get(), nullptr);
            else
                replyHandler(std::nullopt, outcome.error());
        });
}

void replyWhenDone(KeepAlive keepAlive, tasks::Task<std::int64_t> operation,
    std::function<void(std::int64_t, std::exception_ptr)> replyHandler)
{
    start(std::move(keepAlive), std::move(operation), valueOrError<std::int64_t>(std::move(replyHandler), 0));
}

void replyWhenDone(KeepAlive keepAlive, tasks::Task<fskit::FSDirectoryVerifier> operation,
    std::function<void(fskit::FSDirectoryVerifier, std::exception_ptr)> replyHandler)
{
    start(std::move(keepAlive), std::move(operation),
        valueOrError<fskit::FSDirectoryVerifier>(std::move(replyHandler), fskit::FSDirectoryVerifierInitial));
}

void replyWhenDone(KeepAlive keepAlive, tasks::Task<bool> operation,
    std::function<void(bool, std::exception_ptr)> replyHandler)
{
    start(std::move(keepAlive), std::move(operation), valueOrError<bool>(std::move(replyHandler), false));
}

void replyWhenDone(KeepAlive keepAlive, tasks::Task<std::vector<fskit::FSFileName>> operation,
    std::function<void(std::vector<fskit::FSFileName>, std::exception_ptr)> replyHandler)
{
    start(std::move(keepAlive), std::move(operation),
        valueOrError<std::vector<fskit::FSFileName>>(std::move(replyHandler), {}));
}

void replyWhenDone(KeepAlive keepAlive, tasks::Task<foundation::Data> operation,
    std::function<void(std::optional<foundation::Data>, std::exception_ptr)> replyHandler)
{
    start(std::move(keepAlive), std::move(operation),
        [replyHandler = std::move(replyHandler)](tasks::Result<foundation::Data> outcome) {
            if (outcome.isSuccess())
                replyHandler(std::move(outcome).get(), nullptr);
            else
                replyHandler(std::nullopt, outcome.error());
        });
}

} // namespace vl
