// A value bound for the extent of a scope in one task, seen by that task and the tasks it starts.
//
// withValue(value, body) binds value while body runs; inside, get() returns it, and tasks spawned
// or added to groups inside see it too (they keep the binding they started with). Siblings, the
// spawner outside the scope, and the same task after the scope see the previous binding, or the
// default value. Outside any task get() returns the default value. A TaskLocal object must
// outlive every task that binds it (declare them as static or namespace-scope objects).
// withValue also takes a synchronous body, called at once on the running task: for code that
// must not suspend (inside a lock) but calls code that reads the value.
#pragma once

#include "Platform/OS/FatalError.h"
#include "Platform/Tasks/Task.h"
#include "Platform/Tasks/TaskContext.h"

#include <concepts>
#include <memory>
#include <utility>

namespace tasks {

template <typename T> class TaskLocal {
public:
    explicit TaskLocal(T defaultValue)
        : defaultValue(std::move(defaultValue))
    {
    }
    TaskLocal(const TaskLocal&) = delete;
    TaskLocal& operator=(const TaskLocal&) = delete;

    T get() const
    {
        if (TaskContext* context = currentTaskContext())
            for (const TaskLocalBinding* binding = context->locals.get(); binding;
                 binding = binding->next.get())
                if (binding->key == this)
                    return *static_cast<const T*>(binding->value.get());
        return defaultValue;
    }

    template <typename R> Task<R> withValue(T value, Task<R> body) const
    {
        ScopedBinding binding(this, std::move(value));
        co_return co_await std::move(body);
    }

    template <typename Body>
    requires std::invocable<Body&>
    decltype(auto) withValue(T value, Body&& body) const
    {
        ScopedBinding binding(this, std::move(value));
        return body();
    }

private:
    // Binds `value` to `key` in the running task for the life of the object, then restores the
    // bindings that were there before.
    class ScopedBinding {
    public:
        ScopedBinding(const TaskLocal* key, T value)
            : context(currentTaskContext())
        {
            if (!context)
                vl::fatalError("Task-local value bound outside a task", "Platform/Tasks/TaskLocal");
            previous = context->locals;
            context->locals = std::make_shared<const TaskLocalBinding>(
                TaskLocalBinding { key, std::make_shared<const T>(std::move(value)), previous });
        }
        ~ScopedBinding() { context->locals = std::move(previous); }
        ScopedBinding(const ScopedBinding&) = delete;
        ScopedBinding& operator=(const ScopedBinding&) = delete;

    private:
        TaskContext* context;
        std::shared_ptr<const TaskLocalBinding> previous;
    };

    T defaultValue;
};

} // namespace tasks
