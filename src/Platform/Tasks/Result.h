// The outcome of an operation: a value, or the error it failed with.
//
// A Result is a plain value (copyable when T is). get() returns the value or rethrows the error;
// Result<void> carries no value. A Result is never empty: it is built by success or failure.
#pragma once

#include <exception>
#include <type_traits>
#include <utility>
#include <variant>

namespace tasks {

template <typename T> class Result {
public:
    static Result success(T value) { return Result(std::in_place_index<0>, std::move(value)); }
    static Result failure(std::exception_ptr error)
    {
        return Result(std::in_place_index<1>, std::move(error));
    }

    // Runs a synchronous body and captures what it returns or throws.
    template <typename Body> static Result catching(Body&& body)
    {
        try {
            return success(std::forward<Body>(body)());
        } catch (...) {
            return failure(std::current_exception());
        }
    }

    bool isSuccess() const { return storage.index() == 0; }
    std::exception_ptr error() const { return isSuccess() ? nullptr : std::get<1>(storage); }

    T get() const&
    {
        if (!isSuccess())
            std::rethrow_exception(std::get<1>(storage));
        return std::get<0>(storage);
    }

    T get() &&
    {
        if (!isSuccess())
            std::rethrow_exception(std::get<1>(storage));
        return std::move(std::get<0>(storage));
    }

private:
    template <std::size_t Index, typename Argument>
    Result(std::in_place_index_t<Index> index, Argument&& argument)
        : storage(index, std::forward<Argument>(argument))
    {
    }

    std::variant<T, std::exception_ptr> storage;
};

template <> class Result<void> {
public:
    static Result success() { return Result(nullptr); }
    static Result failure(std::exception_ptr error) { return Result(std::move(error)); }

    template <typename Body> static Result catching(Body&& body)
    {
        try {
            std::forward<Body>(body)();
            return success();
        } catch (...) {
            return failure(std::current_exception());
        }
    }

    bool isSuccess() const { return failed == nullptr; }
    std::exception_ptr error() const { return failed; }

    void get() const
    {
        if (failed)
            std::rethrow_exception(failed);
    }

private:
    explicit Result(std::exception_ptr error)
        : failed(std::move(error))
    {
    }

    std::exception_ptr failed;
};

} // namespace tasks
