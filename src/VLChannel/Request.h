// A FUSE request exactly as it goes on the wire: a fuse_in_header, then the body built from parts.
//
// The header and every run of consecutive managed parts (fixed structures) are written into one
// fresh zero-filled buffer per run; unmanaged parts (names, file data) are referenced, never
// copied. Each request takes a new `unique` from one process-wide counter, so two requests never
// share one while fewer than 2^64 - 1 are built. A request is immutable and may be sent more than
// once; copies share its buffers, which live as long as any copy of its data does.
#pragma once

#include "VLChannel/DiscontiguousData.h"
#include "VLChannel/FuseKernel.h"
#include "VLChannel/Message.h"

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <span>
#include <utility>
#include <variant>

namespace vl {

class Request : public Message {
public:
    // One piece of a request body, in wire order.
    class Part {
    public:
        // Writes a managed part's bytes, which it receives zero-filled.
        using Initializer = std::function<void(std::span<std::byte>)>;

        // A fixed structure of `byteCount` bytes built in place; all zero without an initializer.
        static Part managed(std::ptrdiff_t byteCount, Initializer initializer = {});
        template <FuseStructure Structure> static Part managed()
        {
            return managed(static_cast<std::ptrdiff_t>(sizeof(Structure)));
        }
        // A Structure, zero-filled, then handed to `update` to set its fields.
        template <FuseStructure Structure, std::invocable<Structure&> Update>
        static Part managed(Update update)
        {
            return managed(static_cast<std::ptrdiff_t>(sizeof(Structure)),
                [update = std::move(update)](std::span<std::byte> bytes) {
                    Structure structure {};
                    update(structure);
                    std::memcpy(bytes.data(), &structure, sizeof(Structure));
                });
        }
        // Bytes that already exist, referenced without copying.
        static Part unmanaged(DiscontiguousData data) { return Part(std::move(data)); }
        static Part unmanaged(const DiscontiguousData::Region& bytes)
        {
            return Part(DiscontiguousData(bytes));
        }

        // The one 0x00 byte that ends every name: a name is sent as one unmanaged part of two
        // regions, the name's bytes and this.
        static const DiscontiguousData::Region nullByte;

        std::ptrdiff_t count() const;

    private:
        friend class Request;
        struct Managed {
            std::ptrdiff_t byteCount;
            Initializer initializer;
        };
        explicit Part(Managed managed)
            : content(std::move(managed))
        {
        }
        explicit Part(DiscontiguousData unmanaged)
            : content(std::move(unmanaged))
        {
        }
        bool isManaged() const { return std::holds_alternative<Managed>(content); }

        std::variant<Managed, DiscontiguousData> content;
    };

    // The process-wide identifier counter: 1, 2, 3, ... and after 2^64 - 1 again 1; never 0,
    // which marks a notification. Safe to use from any thread.
    class Unique {
    public:
        static std::uint64_t next();
        // The counter's value after it issued `current`.
        static constexpr std::uint64_t successor(std::uint64_t current)
        {
            return current == 0 || current == std::numeric_limits<std::uint64_t>::max() ? 1 : current + 1;
        }
    };

    // The whole request must fit the 32-bit `len`, or the process ends.
    Request(fuse_opcode operation, std::uint64_t node, std::uint32_t user, std::uint32_t group,
        std::uint32_t process, std::span<const Part> parts);
    template <std::same_as<Part>... Parts>
    Request(fuse_opcode operation, std::uint64_t node, std::uint32_t user, std::uint32_t group,
        std::uint32_t process, Parts... parts)
        : Request(operation, node, user, group, process,
            std::span<const Part>(std::array<Part, sizeof...(Parts)> { std::move(parts)... }))
    {
    }

    // FUSE_DESTROY and FUSE_STATFS on node 1, built afresh for each use so that each carries its
    // own `unique` and two of them may wait for replies at once.
    static Request destroy();
    static Request statfs();

    std::uint64_t unique() const { return requestUnique; }

private:
    Request(std::uint64_t unique, fuse_opcode operation, std::uint64_t node, std::uint32_t user,
        std::uint32_t group, std::uint32_t process, std::span<const Part> parts);
    static DiscontiguousData encode(fuse_in_header header, std::span<const Part> parts);

    std::uint64_t requestUnique;
};

} // namespace vl
