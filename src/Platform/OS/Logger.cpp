#include "Platform/OS/Logger.h"

#include "Platform/OS/UnfairLock.h"

#include <algorithm>
#include <cstdio>
#include <type_traits>

namespace os {
namespace {

class StandardErrorSink final : public LogSink {
public:
    void write(const LogMessage& message) override
    {
        std::string line = "[" + message.subsystem + ":" + message.category + "] "
            + std::string(toString(message.level)) + ": " + message.text + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
    }
};

// Never destroyed, and the lock has no destructor: tasks still running while the process exits
// log after static objects have been torn down.
LogSink& standardErrorSink()
{
    static LogSink* const sink = new StandardErrorSink();
    return *sink;
}

// The sink lock also serialises a capture's recording against its readers. No installed capture
// means standard error.
UnfairLock sinkLock;
static_assert(std::is_trivially_destructible_v<UnfairLock>);
LogSink* currentSink VL_GUARDED_BY(sinkLock) = nullptr;

} // namespace

std::string_view toString(LogLevel level)
{
    return level == LogLevel::info ? "info" : "error";
}

LogArgument::LogArgument(const std::exception_ptr& error)
{
    if (!error) {
        text = "no error";
        return;
    }
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& exception) {
        text = exception.what();
    } catch (...) {
        text = "unknown error";
    }
}

std::string formatLogMessage(std::string_view format, const std::vector<LogArgument>& arguments)
{
    std::string result;
    result.reserve(format.size());
    std::size_t next = 0;
    for (std::size_t index = 0; index < format.size(); ++index) {
        char character = format[index];
        if (character == '%' && index + 1 < format.size()) {
            char specifier = format[index + 1];
            if (specifier == '%') {
                result += '%';
                ++index;
                continue;
            }
            if ((specifier == 's' || specifier == '@') && next < arguments.size()) {
                result += arguments[next++].text;
                ++index;
                continue;
            }
        }
        result += character;
    }
    return result;
}

Logger::Logger(std::string subsystem, std::string category)
    : subsystemName(std::move(subsystem))
    , categoryName(std::move(category))
{
}

void Logger::log(LogLevel level, std::string_view format, const std::vector<LogArgument>& arguments) const
{
    LogMessage message { subsystemName, categoryName, level, formatLogMessage(format, arguments) };
    UnfairLockGuard guard(sinkLock);
    (currentSink ? *currentSink : standardErrorSink()).write(message);
}

LogCapture::LogCapture()
{
    UnfairLockGuard guard(sinkLock);
    previous = currentSink;
    currentSink = this;
}

LogCapture::~LogCapture()
{
    UnfairLockGuard guard(sinkLock);
    currentSink = previous;
}

void LogCapture::write(const LogMessage& message)
{
    recorded.push_back(message);
}

std::vector<LogMessage> LogCapture::messages() const
{
    UnfairLockGuard guard(sinkLock);
    return recorded;
}

std::vector<std::string> LogCapture::texts(LogLevel level) const
{
    std::vector<std::string> result;
    for (const LogMessage& message : messages())
        if (message.level == level)
            result.push_back(message.text);
    return result;
}

bool LogCapture::contains(LogLevel level, std::string_view text) const
{
    std::vector<std::string> matching = texts(level);
    return std::find(matching.begin(), matching.end(), text) != matching.end();
}

} // namespace os
