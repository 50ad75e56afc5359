#include "Platform/OS/Signpost.h"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace os {
namespace {

struct Event {
    std::uint64_t nanoseconds;
    const char* name;
};

constexpr std::size_t capacity = 1 << 20;

// Made on the first event and never destroyed: threads may emit while the process exits.
struct Recorder {
    std::string path;
    std::unique_ptr<Event[]> events = std::make_unique<Event[]>(capacity);
    std::atomic<std::size_t> count { 0 };

    void write() const
    {
        std::FILE* file = std::fopen((path + "." + std::to_string(getpid())).c_str(), "w");
        if (!file)
            return;
        std::size_t kept = std::min(count.load(), capacity);
        for (std::size_t index = 0; index < kept; ++index)
            std::fprintf(file, "%llu %s\n", static_cast<unsigned long long>(events[index].nanoseconds),
                events[index].name);
        std::fclose(file);
    }
};

Recorder* recorder()
{
    static Recorder* const instance = []() -> Recorder* {
        const char* path = std::getenv("VORLANE_SIGNPOSTS");
        if (!path || !*path)
            return nullptr;
        std::atexit([] { recorder()->write(); });
        return new Recorder { path };
    }();
    return instance;
}

} // namespace

void signpostEvent(const char* name)
{
    Recorder* recorder = os::recorder();
    if (!recorder)
        return;
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::size_t index = recorder->count.fetch_add(1, std::memory_order_relaxed);
    if (index < capacity)
        recorder->events[index] = { static_cast<std::uint64_t>(now.tv_sec) * 1000000000u
                + static_cast<std::uint64_t>(now.tv_nsec),
            name };
}

} // namespace os
