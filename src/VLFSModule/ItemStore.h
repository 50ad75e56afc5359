// A volume's table of live items: one Item per FUSE node made known to FSKit, with the number of
// lookups the daemon has counted for it and the volume has not yet given back.
//
// Every access to the table happens under its unfair lock, held only for the table operation
// (and, for a new item, its creation and initialisation); no item lock is ever awaited under it.
// Safe to use from any task.
#pragma once

#include "Platform/Tasks/Task.h"
#include "VLFSModule/Item.h"
#include "VLFoundation/Protected.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <unordered_map>

namespace vl {

class Item::Store {
public:
    class Error : public std::exception {
    public:
        enum class Code { itemNotFound, itemCollision };

        explicit Error(Code code)
            : errorCode(code)
        {
        }
        static Error itemNotFound() { return Error(Code::itemNotFound); }
        static Error itemCollision() { return Error(Code::itemCollision); }

        Code code() const { return errorCode; }
        const char* what() const noexcept override;

        friend bool operator==(const Error& a, const Error& b) { return a.errorCode == b.errorCode; }

    private:
        Code errorCode;
    };

    Store() = default;
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // The item for `identifier`, counting one more lookup. An unknown identifier gets a new item,
    // which `initializer` fills while the new item is locked for writing; the initializer must
    // not suspend or call back into the store. Its failure leaves the table unchanged and is
    // passed on.
    std::shared_ptr<Item> get(Identifier identifier, const std::function<void(Item&)>& initializer);

    // Removes the item's entry and returns its lookup count; throws itemNotFound without one.
    std::int64_t remove(const Item& item);

    // Runs `body` for every item in the table when called, as concurrent child tasks. The first
    // failure cancels the others and is passed on once all have finished.
    tasks::Task<void> forEach(std::function<tasks::Task<void>(std::shared_ptr<Item>)> body);

private:
    struct Entry {
        std::shared_ptr<Item> item;
        std::int64_t lookups;
    };

    Protected<std::unordered_map<Identifier, Entry>> table { std::unordered_map<Identifier, Entry>() };
};

} // namespace vl
