// The stand-in for the unified log's signposts: named points in time from which a tool works out
// where a request spends its time, across threads and processes.
//
// Off unless the environment variable VORLANE_SIGNPOSTS names a file when the first event is
// emitted; an event then costs a clock read and one atomic increment, and off it costs one
// atomic load. The process keeps up to a million events and writes them at exit to
// "<file>.<pid>", one line per event: "<CLOCK_MONOTONIC nanoseconds> <name>". Names must be
// string literals (they are kept by address). Any thread may emit.
#pragma once

namespace os {

void signpostEvent(const char* name);

} // namespace os
