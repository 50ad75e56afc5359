// A request and its reply on an XPC connection, awaited up to a time limit on the continuous
// clock. The reply handler runs on the connection's thread and only resolves a future.
#pragma once

#include "Platform/Tasks/Task.h"
#include "Platform/XPC/Connection.h"
#include "Platform/XPC/XPCDictionary.h"

#include <chrono>
#include <memory>
#include <string>

namespace fused {

// Answers the reply; fails with the connection's xpc::XPCRichError, or with DaemonError(`late`)
// when no reply comes within `timeLimit`. The connection must outlive the task.
tasks::Task<xpc::XPCDictionary> exchange(xpc::Connection& connection, xpc::XPCDictionary request,
    std::chrono::nanoseconds timeLimit, std::string late);

} // namespace fused
