// Serves a listener connection for a test: every peer it accepts is activated and each message
// it receives is handed to the responder on that peer's thread; the server counts the peers that
// have ended, so a test can wait until their sockets are closed.
#pragma once

#include "Support/WaitUntil.h"

#include "Platform/XPC/Connection.h"

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

class TestServer {
public:
    using Responder = std::function<void(const xpc::XPCDictionary& request, xpc::Connection& peer)>;

    TestServer(std::shared_ptr<xpc::Connection> listener, Responder responder)
        : listener(std::move(listener))
        , state(std::make_shared<State>())
    {
        state->responder = std::move(responder);
        this->listener->setEventHandler([state = state](const xpc::Object& event) {
            if (auto peer = event.connectionValue()) {
                {
                    std::lock_guard lock(state->mutex);
                    ++state->acceptedPeers;
                }
                peer->setEventHandler([state, weakPeer = std::weak_ptr(peer)](const xpc::Object& message) {
                    if (auto dictionary = xpc::XPCDictionary::fromObject(message)) {
                        if (auto peer = weakPeer.lock())
                            state->responder(*dictionary, *peer);
                        return;
                    }
                    state->mark([&] { ++state->endedPeers; });
                });
                peer->activate();
            } else if (event.errorValue()) {
                state->mark([&] { state->listenerEnded = true; });
            }
        });
        this->listener->activate();
    }

    // Waits until `count` peers have ended (their sockets are closed by then).
    void waitUntilPeersEnded(std::size_t count)
    {
        std::unique_lock lock(state->mutex);
        if (!state->changed.wait_for(
                lock, testing_support::waitLimit, [&] { return state->endedPeers >= count; }))
            throw std::runtime_error("the server did not end as the test waits for");
    }

    std::size_t acceptedPeers()
    {
        std::lock_guard lock(state->mutex);
        return state->acceptedPeers;
    }

    // Cancels the listener and waits for its last event.
    void stop()
    {
        listener->cancel();
        std::unique_lock lock(state->mutex);
        if (!state->changed.wait_for(lock, testing_support::waitLimit, [&] { return state->listenerEnded; }))
            throw std::runtime_error("the server did not end as the test waits for");
    }

    const std::shared_ptr<xpc::Connection>& connection() const { return listener; }

private:
    struct State {
        template <typename Change> void mark(Change change)
        {
            {
                std::lock_guard lock(mutex);
                change();
            }
            changed.notify_all();
        }

        std::mutex mutex;
        std::condition_variable changed;
        std::size_t acceptedPeers = 0;
        std::size_t endedPeers = 0;
        bool listenerEnded = false;
        Responder responder;
    };

    std::shared_ptr<xpc::Connection> listener;
    std::shared_ptr<State> state;
};
