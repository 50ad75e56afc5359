// The stand-in for a dispatch read source: it watches a file descriptor and runs its event
// handler on the target queue whenever the descriptor is readable or at end of stream.
//
// A source is created inactive; activate() (once, with an event handler set) starts the
// watching. The event handler runs again and again while the descriptor stays readable (it must
// consume input, or suspend the source), never twice at once, and not while the source is
// suspended. cancel() stops the watching for good: no event handler starts afterwards, and the
// cancel handler runs on the target queue once any event handler in progress has returned (for a
// suspended source, once it is resumed; for one never activated, at once). The descriptor stays
// open: closing it is the cancel handler's job, and nobody else's while the source watches it.
// Destroying the source cancels it. Waiting uses poll and an eventfd, never spinning. Methods may
// be called from any thread, including from the handlers.
#pragma once

#include "Platform/Dispatch/DispatchQueue.h"

#include <functional>
#include <memory>

namespace dispatch {

class DispatchSourceRead {
public:
    DispatchSourceRead(int fileDescriptor, DispatchQueue queue);
    ~DispatchSourceRead();
    DispatchSourceRead(const DispatchSourceRead&) = delete;
    DispatchSourceRead& operator=(const DispatchSourceRead&) = delete;

    // Replaces the handler; an event handler already running finishes with the one it started
    // with.
    void setEventHandler(std::function<void()> handler);
    void setCancelHandler(std::function<void()> handler);

    // Starts the watching; a source is activated once.
    void activate();
    // Each suspend() holds back the event handler until a matching resume().
    void suspend();
    void resume();
    void cancel();
    bool isCancelled() const;

private:
    struct State;

    std::shared_ptr<State> state;
};

} // namespace dispatch
