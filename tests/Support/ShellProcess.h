// A process that runs a shell script: the child that process tests start and watch.
#pragma once

#include "Platform/Foundation/Process.h"
#include "Platform/Foundation/URL.h"

#include <memory>
#include <string>

namespace testing_support {

inline std::shared_ptr<foundation::Process> shell(const std::string& script)
{
    auto process = std::make_shared<foundation::Process>();
    process->executableURL = foundation::URL::fileURLWithPath("/bin/sh");
    process->arguments = { "-c", script };
    return process;
}

} // namespace testing_support
