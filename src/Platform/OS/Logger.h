// The stand-in for the unified log: loggers named by a subsystem and a category, two levels.
//
// Messages are written with the callers' own format texts; each "%s" or "%@" placeholder takes
// the next argument in order ("%%" is a literal percent sign). Every message goes to the one
// installed sink: by default standard error, one line per message, through a sink that is never
// destroyed (tasks still running while the process exits may log); tests install a LogCapture to
// read what was logged. Loggers are immutable values and may be used from any thread.
#pragma once

#include <exception>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace os {

enum class LogLevel { info, error };

std::string_view toString(LogLevel level);

struct LogMessage {
    std::string subsystem;
    std::string category;
    LogLevel level;
    std::string text;
};

// One argument of a log message, already turned into text.
class LogArgument {
public:
    LogArgument(std::string_view text)
        : text(text)
    {
    }
    LogArgument(const char* text)
        : text(text)
    {
    }
    LogArgument(const std::string& text)
        : text(text)
    {
    }
    LogArgument(const std::exception& error)
        : text(error.what())
    {
    }
    LogArgument(const std::exception_ptr& error);
    template <typename Integer>
    requires std::is_integral_v<Integer> LogArgument(Integer value)
        : text(std::to_string(value))
    {
    }
    template <typename Described>
    requires requires(const Described& value)
    {
        {
            value.description()
            } -> std::convertible_to<std::string>;
    }
    LogArgument(const Described& value)
        : text(value.description())
    {
    }

    std::string text;
};

// Replaces each placeholder of `format` by the next argument's text.
std::string formatLogMessage(std::string_view format, const std::vector<LogArgument>& arguments);

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(const LogMessage& message) = 0;
};

class Logger {
public:
    Logger(std::string subsystem, std::string category);

    template <typename... Arguments> void info(std::string_view format, const Arguments&... arguments) const
    {
        log(LogLevel::info, format, { LogArgument(arguments)... });
    }

    template <typename... Arguments> void error(std::string_view format, const Arguments&... arguments) const
    {
        log(LogLevel::error, format, { LogArgument(arguments)... });
    }

    void log(LogLevel level, std::string_view format, const std::vector<LogArgument>& arguments) const;

    const std::string& subsystem() const { return subsystemName; }
    const std::string& category() const { return categoryName; }

private:
    std::string subsystemName;
    std::string categoryName;
};

// Installs itself as the sink for its lifetime and records every message; the sink it replaced
// comes back when it is destroyed. Captures nest: only the newest one records.
class LogCapture final : public LogSink {
public:
    LogCapture();
    ~LogCapture() override;
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    void write(const LogMessage& message) override;

    std::vector<LogMessage> messages() const;
    // The texts of the messages at `level`, in the order they were logged.
    std::vector<std::string> texts(LogLevel level) const;
    bool contains(LogLevel level, std::string_view text) const;

private:
    LogSink* previous;
    std::vector<LogMessage> recorded;
};

} // namespace os
