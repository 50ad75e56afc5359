// An asynchronous iterator that may be copied and handed between tasks.
//
// Every copy draws from one underlying iterator (anything with a next() that returns a
// tasks::Task<std::optional<Element>>), one call at a time in arrival order, so each element goes
// to exactly one caller. Once the underlying iterator has reported its end it is never asked
// again: next() keeps returning nullopt. An error from the underlying iterator is passed on and
// leaves it usable; the next call asks it again.
#pragma once

#include "Platform/Tasks/Task.h"
#include "VLFoundation/AsyncProtected.h"

#include <concepts>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>

namespace vl {

template <typename Element> class SendableAsyncIterator {
public:
    template <typename Iterator>
    requires(!std::same_as<std::remove_cvref_t<Iterator>,
             SendableAsyncIterator>) explicit SendableAsyncIterator(Iterator iterator)
        : produce(Producer<Iterator> { std::make_shared<AsyncProtected<Cursor<Iterator>>>(
            Cursor<Iterator> { std::move(iterator), false }) })
    {
    }

    // The next element, or nullopt at the end.
    tasks::Task<std::optional<Element>> next() const { return produce(); }

private:
    template <typename Iterator> struct Cursor {
        Iterator iterator;
        bool finished;
    };

    template <typename Iterator> using Cell = std::shared_ptr<AsyncProtected<Cursor<Iterator>>>;

    template <typename Iterator> struct Producer {
        Cell<Iterator> cell;
        tasks::Task<std::optional<Element>> operator()() const { return produceFrom(cell); }
    };

    template <typename Iterator> static tasks::Task<std::optional<Element>> produceFrom(Cell<Iterator> cell)
    {
        co_return co_await cell->withLock(&advance<Iterator>);
    }

    template <typename Iterator> static tasks::Task<std::optional<Element>> advance(Cursor<Iterator>& cursor)
    {
        if (cursor.finished)
            co_return std::nullopt;
        std::optional<Element> element = co_await cursor.iterator.next();
        if (!element)
            cursor.finished = true;
        co_return element;
    }

    std::function<tasks::Task<std::optional<Element>>()> produce;
};

} // namespace vl
