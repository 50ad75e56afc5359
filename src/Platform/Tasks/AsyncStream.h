// An unbounded stream of values from any number of producers to one consumer.
//
// makeStream() returns the stream and its Continuation (the producer side, copyable, usable from
// any thread): yield buffers a value, finish ends the stream after the buffered values. When the
// last copy of the Continuation is destroyed the stream finishes too, so a consumer is never left
// waiting for a producer that is gone. The consumer awaits next(): the next value in the order
// yielded, or nullopt once the stream is finished and drained, or when the consumer's task is
// cancelled while it waits. Values yielded after finish are dropped.
#pragma once

#include "Platform/OS/UnfairLock.h"
#include "Platform/Tasks/Cancellation.h"
#include "Platform/Tasks/Continuation.h"
#include "Platform/Tasks/Task.h"

#include <deque>
#include <functional>
#include <memory>
#include <optional>

namespace tasks {

template <typename T> class AsyncStream {
    struct State {
        os::UnfairLock lock;
        std::deque<T> buffer;
        bool finished = false;
        std::optional<tasks::Continuation<std::optional<T>>> consumer;

        // Resumes the waiting consumer, if any, with the next element or the end.
        void deliver(std::optional<T> element)
        {
            std::optional<tasks::Continuation<std::optional<T>>> waiting;
            {
                os::UnfairLockGuard guard(lock);
                if (finished)
                    return;
                if (element && !consumer) {
                    buffer.push_back(std::move(*element));
                    return;
                }
                if (!element)
                    finished = true;
                waiting.swap(consumer);
            }
            if (waiting)
                waiting->resume(std::move(element));
        }

        void wakeConsumerWithEnd()
        {
            std::optional<tasks::Continuation<std::optional<T>>> waiting;
            {
                os::UnfairLockGuard guard(lock);
                waiting.swap(consumer);
            }
            if (waiting)
                waiting->resume(std::optional<T>());
        }
    };

    // Finishes the stream when the last producer copy goes away.
    struct ProducerToken {
        explicit ProducerToken(std::shared_ptr<State> state)
            : state(std::move(state))
        {
        }
        ProducerToken(const ProducerToken&) = delete;
        ProducerToken& operator=(const ProducerToken&) = delete;
        ~ProducerToken() { state->deliver(std::nullopt); }
        const std::shared_ptr<State> state;
    };

public:
    class Continuation {
    public:
        void yield(T element) const { token->state->deliver(std::move(element)); }
        void finish() const { token->state->deliver(std::nullopt); }

    private:
        friend AsyncStream;
        explicit Continuation(std::shared_ptr<ProducerToken> token)
            : token(std::move(token))
        {
        }
        std::shared_ptr<ProducerToken> token;
    };

    struct Pair {
        AsyncStream stream;
        Continuation continuation;
    };

    static Pair makeStream()
    {
        auto state = std::make_shared<State>();
        return Pair { AsyncStream(state), Continuation(std::make_shared<ProducerToken>(state)) };
    }

    Task<std::optional<T>> next() const { return nextOf(state); }

private:
    explicit AsyncStream(std::shared_ptr<State> state)
        : state(std::move(state))
    {
    }

    static Task<std::optional<T>> nextOf(std::shared_ptr<State> state)
    {
        // Named first (g++ 12, see Task.h).
        std::function<void()> onCancel = [state] { state->wakeConsumerWithEnd(); };
        co_return co_await withTaskCancellationHandler(waitForElement(state), onCancel);
    }

    static Task<std::optional<T>> waitForElement(std::shared_ptr<State> state)
    {
        co_return co_await withContinuation<std::optional<T>>(
            [&state](tasks::Continuation<std::optional<T>> consumer) {
                std::optional<T> ready;
                bool end = false;
                {
                    os::UnfairLockGuard guard(state->lock);
                    if (!state->buffer.empty()) {
                        ready.emplace(std::move(state->buffer.front()));
                        state->buffer.pop_front();
                    } else if (state->finished || isCancelled()) {
                        end = true;
                    } else {
                        state->consumer.emplace(std::move(consumer));
                    }
                }
                if (ready || end)
                    consumer.resume(std::move(ready));
            });
    }

    std::shared_ptr<State> state;
};

} // namespace tasks
