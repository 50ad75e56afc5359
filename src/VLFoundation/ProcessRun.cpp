#include "VLFoundation/ProcessRun.h"

#include "Platform/Tasks/Continuation.h"

namespace vl {

tasks::Task<std::int32_t> run(std::shared_ptr<foundation::Process> process)
{
    co_return co_await tasks::withContinuation<std::int32_t>(
        [&](tasks::Continuation<std::int32_t> continuation) {
            // The handler must be copyable; the continuation it resumes is not.
            auto pending = std::make_shared<tasks::Continuation<std::int32_t>>(std::move(continuation));
            process->terminationHandler = [pending](const foundation::Process& ended) {
                pending->resume(static_cast<std::int32_t>(ended.terminationStatus()));
            };
            try {
                process->launch();
            } catch (...) {
                process->terminationHandler = nullptr;
                pending->resumeThrowing(std::current_exception());
            }
        });
}

} // namespace vl
