#include "Platform/Dispatch/DispatchQueue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <variant>

namespace dispatch {

// Whoever owns the queue runs blocks: a sync caller for its one block, or the drainer thread for
// async blocks until it meets a sync caller (to whom it hands the queue) or runs out of work.
// Invariant: `pending` is empty whenever `owned` is false.
struct DispatchQueue::State : std::enable_shared_from_this<State> {
    // A sync caller waiting for its turn; lives on that caller's stack.
    struct SyncWaiter {
        std::condition_variable turn;
        bool granted = false;
    };
    using Entry = std::variant<std::function<void()>, SyncWaiter*>;

    explicit State(std::string label)
        : label(std::move(label))
    {
    }

    // Passes ownership to the entry at the front of `pending`, or gives it up if there is none.
    // Called with `mutex` held by the owner.
    void handOver()
    {
        if (pending.empty()) {
            owned = false;
            return;
        }
        if (SyncWaiter** waiter = std::get_if<SyncWaiter*>(&pending.front())) {
            SyncWaiter* next = *waiter;
            pending.pop_front();
            next->granted = true;
            // Notified under the lock: the waiter's condition variable dies when it returns.
            next->turn.notify_one();
            return;
        }
        drainerOwns = true;
        if (!drainerStarted) {
            drainerStarted = true;
            std::thread(&State::drain, shared_from_this()).detach();
        } else {
            drainerWake.notify_one();
        }
    }

    static void drain(const std::shared_ptr<State>& state)
    {
        std::unique_lock lock(state->mutex);
        for (;;) {
            state->drainerWake.wait(lock, [&state] { return state->drainerOwns || state->released; });
            if (!state->drainerOwns)
                return;
            while (state->drainerOwns) {
                if (state->pending.empty() || std::holds_alternative<SyncWaiter*>(state->pending.front())) {
                    state->drainerOwns = false;
                    state->handOver();
                    break;
                }
                auto work = std::move(std::get<std::function<void()>>(state->pending.front()));
                state->pending.pop_front();
                lock.unlock();
                work();
                work = nullptr;
                lock.lock();
            }
        }
    }

    const std::string label;
    std::mutex mutex;
    bool owned = false;
    std::deque<Entry> pending;
    bool drainerStarted = false;
    bool drainerOwns = false;
    bool released = false;
    std::condition_variable drainerWake;
};

// The part of the queue that its handles share: when the last handle goes, the drainer thread
// ends once it has run what is still pending.
class DispatchQueue::Lifetime {
public:
    explicit Lifetime(std::string label)
        : state(std::make_shared<State>(std::move(label)))
    {
    }
    ~Lifetime()
    {
        std::lock_guard guard(state->mutex);
        state->released = true;
        state->drainerWake.notify_one();
    }
    Lifetime(const Lifetime&) = delete;
    Lifetime& operator=(const Lifetime&) = delete;

    const std::shared_ptr<State> state;
};

DispatchQueue::DispatchQueue(std::string label)
    : lifetime(std::make_shared<Lifetime>(std::move(label)))
{
}

const std::string& DispatchQueue::label() const
{
    return lifetime->state->label;
}

void DispatchQueue::async(std::function<void()> work) const
{
    State& state = *lifetime->state;
    std::lock_guard guard(state.mutex);
    state.pending.emplace_back(std::move(work));
    if (!state.owned) {
        state.owned = true;
        state.handOver();
    }
}

void DispatchQueue::acquireForSync() const
{
    State& state = *lifetime->state;
    std::unique_lock lock(state.mutex);
    if (!state.owned) {
        state.owned = true;
        return;
    }
    State::SyncWaiter waiter;
    state.pending.emplace_back(&waiter);
    waiter.turn.wait(lock, [&waiter] { return waiter.granted; });
}

void DispatchQueue::releaseAfterSync() const
{
    State& state = *lifetime->state;
    std::lock_guard guard(state.mutex);
    state.handOver();
}

} // namespace dispatch
