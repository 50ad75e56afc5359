#include "Common/SignalWatcher.h"

#include "Platform/Foundation/POSIXError.h"
#include "Platform/OS/FatalError.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace services {

namespace {

// The writing end of the live watcher's pipe, for the signal handler; -1 when there is none.
std::atomic<int> signalPipe { -1 };

// The byte that tells the watching thread to end; signals are never 0.
constexpr unsigned char endOfWatch = 0;

extern "C" void forwardSignal(int signal)
{
    int savedErrno = errno;
    unsigned char number = static_cast<unsigned char>(signal);
    // A full pipe drops the signal: enough of them are pending already.
    [[maybe_unused]] ssize_t written = ::write(signalPipe.load(), &number, 1);
    errno = savedErrno;
}

} // namespace

SignalWatcher::SignalWatcher(std::vector<int> watched, std::function<void(int signal)> handler)
    : signals(std::move(watched))
    , onSignal(std::move(handler))
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw foundation::POSIXError::fromErrno("pipe2");
    readingEnd = ends[0];
    writingEnd = ends[1];
    ::fcntl(writingEnd, F_SETFL, O_NONBLOCK);
    int expected = -1;
    if (!signalPipe.compare_exchange_strong(expected, writingEnd))
        vl::fatalError("Only one signal watcher may live at a time", "Services/SignalWatcher");
    thread = std::thread([this] { watch(); });
    for (int signal : signals) {
        struct sigaction action { };
        action.sa_handler = forwardSignal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        struct sigaction previous { };
        ::sigaction(signal, &action, &previous);
        previousActions.push_back(previous);
    }
}

SignalWatcher::~SignalWatcher()
{
    for (std::size_t index = 0; index < signals.size(); ++index)
        ::sigaction(signals[index], &previousActions[index], nullptr);
    unsigned char end = endOfWatch;
    while (::write(writingEnd, &end, 1) < 0 && errno == EINTR) { }
    thread.join();
    signalPipe.store(-1);
    ::close(readingEnd);
    ::close(writingEnd);
}

void SignalWatcher::watch()
{
    for (;;) {
        unsigned char number = endOfWatch;
        ssize_t count = ::read(readingEnd, &number, 1);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0 || number == endOfWatch)
            return;
        onSignal(number);
    }
}

} // namespace services
