// The entry adapter between FSKit's reply-handler calls and the volume's asynchronous operations.
//
// replyWhenDone starts the operation as a new unstructured task and returns at once. When the
// operation ends, the reply handler is called exactly once, from that task: with the results and
// a null error on success, with empty results and the operation's error on failure; then it is
// released. `keepAlive` (the volume) lives until the handler has returned. Nothing is cancelled
// or timed out here.
#pragma once

#include "Platform/FSKit/FSVolume.h"
#include "Platform/Foundation/Data.h"
#include "Platform/Tasks/Task.h"
#include "VLFSModule/Item.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace vl {

// What a lookup or a creation hands back to FSKit.
struct ItemAndName {
    std::shared_ptr<Item> item;
    fskit::FSFileName name;
};

using KeepAlive = std::shared_ptr<const void>;

void replyWhenDone(
    KeepAlive keepAlive, tasks::Task<void> operation, fskit::FSVolume::ErrorReply replyHandler);
void replyWhenDone(KeepAlive keepAlive, tasks::Task<std::shared_ptr<Item>> operation,
    fskit::FSVolume::ItemReply replyHandler);
void replyWhenDone(KeepAlive keepAlive, tasks::Task<std::shared_ptr<fskit::FSItemAttributes>> operation,
    fskit::FSVolume::AttributesReply replyHandler);
void replyWhenDone(
    KeepAlive keepAlive, tasks::Task<ItemAndName> operation, fskit::FSVolume::ItemAndNameReply replyHandler);
void replyWhenDone(KeepAlive keepAlive, tasks::Task<bool> operation,
    std::function<void(bool, std::exception_ptr)> replyHandler);
void replyWhenDone(KeepAlive keepAlive, tasks::Task<std::vector<fskit::FSFileName>> operation,
    std::function<void(std::vector<fskit::FSFileName>, std::exception_ptr)> replyHandler);
void replyWhenDone(KeepAlive keepAlive, tasks::Task<foundation::Data> operation,
    std::function<void(std::optional<foundation::Data>, std::exception_ptr)> replyHandler);
void replyWhenDone(
    KeepAlive keepAlive, tasks::Task<fskit::FSFileName> operation, fskit::FSVolume::NameReply replyHandler);
// A byte count (read, write); 0 goes with an error.
void replyWhenDone(KeepAlive keepAlive, tasks::Task<std::int64_t> operation,
    std::function<void(std::int64_t, std::exception_ptr)> replyHandler);
// An enumeration's verifier; the initial verifier goes with an error.
void replyWhenDone(KeepAlive keepAlive, tasks::Task<fskit::FSDirectoryVerifier> operation,
    std::function<void(fskit::FSDirectoryVerifier, std::exception_ptr)> replyHandler);

} // namespace vl
