// How the failures of extended-attribute and synchronisation exchanges reach FSKit. A daemon that
// lacks the operation (ENOSYS) is reported as not supporting it (ENOTSUP); any other POSIX error
// keeps its code; anything else (a reply too short, a broken channel) becomes ENXIO, since FSKit
// can only pass a POSIX error on to its caller.
#pragma once

#include "Platform/Tasks/Result.h"
#include "Platform/Tasks/Task.h"

#include <exception>
#include <type_traits>
#include <utility>

namespace vl {

// The FSKit error for `error`, as described above.
std::exception_ptr exchangeErrorForFSKit(std::exception_ptr error);

// Runs `operation` and fails with exchangeErrorForFSKit of its error.
template <typename T> tasks::Task<T> translatingExchangeErrors(tasks::Task<T> operation)
{
    tasks::Result<T> outcome = co_await tasks::catching(std::move(operation));
    if (!outcome.isSuccess())
        std::rethrow_exception(exchangeErrorForFSKit(outcome.error()));
    if constexpr (!std::is_void_v<T>)
        co_return std::move(outcome).get();
}

} // namespace vl
