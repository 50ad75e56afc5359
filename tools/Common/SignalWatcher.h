// Turns termination signals into a call on a thread of its own, so that a program can stop in
// order (release what it holds) instead of dying where the signal finds it.
//
// While a watcher lives, each of its signals runs a handler that only writes the signal's number
// to a pipe; the watcher's thread reads it and calls onSignal(signal) there, once per delivery.
// The destructor puts the previous handlers back and joins the thread. One watcher at a time per
// process (a second is a fatal error). Children started meanwhile get the default handlers back
// when they execute their program.
#pragma once

#include <csignal>
#include <functional>
#include <thread>
#include <vector>

namespace services {

class SignalWatcher {
public:
    SignalWatcher(std::vector<int> signals, std::function<void(int signal)> onSignal);
    ~SignalWatcher();
    SignalWatcher(const SignalWatcher&) = delete;
    SignalWatcher& operator=(const SignalWatcher&) = delete;

private:
    void watch();

    std::vector<int> signals;
    std::vector<struct sigaction> previousActions;
    std::function<void(int signal)> onSignal;
    int readingEnd = -1;
    int writingEnd = -1;
    std::thread thread;
};

} // namespace services
