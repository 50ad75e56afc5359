// The stand-in for a serial dispatch queue: blocks submitted to it run one at a time, in the order
// they were submitted, each after the previous one has returned.
//
// A queue is a handle: copies refer to the same queue, which lives while any copy does or any
// block submitted to it has yet to run. async() returns at once; its block runs on the queue's
// own thread, started the first time one is needed. sync() waits until every earlier block has
// run and then runs its block on the calling thread while holding the queue, so nothing else
// runs on the queue meanwhile; what the block returns or throws reaches the caller. As with the
// real thing, sync() from a block running on the same queue never returns. Blocks given to
// async() must not throw.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

namespace dispatch {

class DispatchQueue {
public:
    explicit DispatchQueue(std::string label);

    const std::string& label() const;

    void async(std::function<void()> work) const;

    template <typename Work> std::invoke_result_t<Work&> sync(Work&& work) const
    {
        acquireForSync();
        Holder holder { *this };
        return work();
    }

private:
    struct State;
    class Lifetime;

    // Gives the queue back once a sync block has returned or thrown.
    struct Holder {
        const DispatchQueue& queue;
        ~Holder() { queue.releaseAfterSync(); }
    };

    void acquireForSync() const;
    void releaseAfterSync() const;

    std::shared_ptr<Lifetime> lifetime;
};

} // namespace dispatch
