// Runs a configured child process and waits for it without blocking a thread.
//
// run(process) suspends the calling task, launches the process and resumes with its termination
// status once it has ended: a non-zero exit status is a value, not an error. A process that
// cannot be launched fails with foundation::LaunchError, and its termination handler (which
// run() installs, replacing any other) is then never called. The task is resumed from the
// process's waiting thread; nothing else is shared.
#pragma once

#include "Platform/Foundation/Process.h"
#include "Platform/Tasks/Task.h"

#include <cstdint>
#include <memory>

namespace vl {

tasks::Task<std::int32_t> run(std::shared_ptr<foundation::Process> process);

} // namespace vl
