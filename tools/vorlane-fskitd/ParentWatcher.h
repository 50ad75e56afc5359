// Calls onEnded, once, on a thread of its own, when the process that started this one ends
// (whole process, not the thread that started it). A parent that ended before the watcher was
// made counts as ended at once. The destructor stops the watch and joins the thread; it must not
// run inside onEnded.
#pragma once

#include <functional>
#include <thread>

namespace host {

class ParentWatcher {
public:
    // Throws foundation::POSIXError when the parent cannot be watched.
    explicit ParentWatcher(std::function<void()> onEnded);
    ~ParentWatcher();
    ParentWatcher(const ParentWatcher&) = delete;
    ParentWatcher& operator=(const ParentWatcher&) = delete;

private:
    int parentDescriptor = -1;
    int wakeUp = -1;
    std::thread thread;
};

} // namespace host
