// Cost of building requests and reading replies: time per operation and heap allocations per
// operation.
#include "VLChannel/DirectoryEntry.h"
#include "VLChannel/Reply.h"
#include "VLChannel/Request.h"

#include "Support/AllocationCounter.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

namespace vl {
namespace {

using bench::AllocationCounter;

DiscontiguousData::Region ownedRegion(const std::vector<std::byte>& bytes)
{
    auto storage = std::make_shared<std::vector<std::byte>>(bytes);
    return { storage, std::span<const std::byte>(*storage) };
}

void BM_BuildLookupRequest(benchmark::State& state)
{
    std::string text = "sixteen-byte-nam";
    std::vector<std::byte> bytes(text.size());
    std::memcpy(bytes.data(), text.data(), text.size());
    DiscontiguousData::Region name = ownedRegion(bytes);
    {
        AllocationCounter counter(state);
        for (auto _ : state) {
            Request request(FUSE_LOOKUP, 1, 0, 0, 0,
                Request::Part::unmanaged(DiscontiguousData(name, Request::Part::nullByte)));
            benchmark::DoNotOptimize(request.data().regions().data());
        }
    }
}
BENCHMARK(BM_BuildLookupRequest);

void BM_BuildGetattrRequest(benchmark::State& state)
{
    AllocationCounter counter(state);
    for (auto _ : state) {
        Request request(FUSE_GETATTR, 5, 0, 0, 0,
            Request::Part::managed<fuse_getattr_in>([](fuse_getattr_in& in) { in.fh = 9; }));
        benchmark::DoNotOptimize(request.data().regions().data());
    }
}
BENCHMARK(BM_BuildGetattrRequest);

void BM_ConsumeCreateReplySplitOverTwoRegions(benchmark::State& state)
{
    std::vector<std::byte> payload(sizeof(fuse_entry_out) + sizeof(fuse_open_out), std::byte { 1 });
    // The entry straddles the boundary, as when a daemon's reply arrives in two reads.
    DiscontiguousData data(ownedRegion({ payload.begin(), payload.begin() + 100 }),
        ownedRegion({ payload.begin() + 100, payload.end() }));
    Reply prototype(1, data);
    AllocationCounter counter(state);
    for (auto _ : state) {
        Reply reply = prototype;
        std::uint64_t nodeid
            = reply.consumePart<fuse_entry_out>([](const fuse_entry_out& entry) { return entry.nodeid; });
        std::uint64_t fh
            = std::move(reply).consume<fuse_open_out>([](const fuse_open_out& open) { return open.fh; });
        benchmark::DoNotOptimize(nodeid);
        benchmark::DoNotOptimize(fh);
    }
}
BENCHMARK(BM_ConsumeCreateReplySplitOverTwoRegions);

// Records with names of 7 to 50 bytes filling exactly 10240 bytes, as one READDIR reply payload.
std::vector<std::byte> readdirPayload(std::size_t& recordCount)
{
    constexpr std::size_t payloadSize = 10240;
    std::vector<std::byte> payload;
    recordCount = 0;
    for (std::uint32_t index = 0; payload.size() < payloadSize; ++index) {
        std::string name = "entry-" + std::to_string(index) + std::string(index % 34, 'x');
        std::size_t remaining = payloadSize - payload.size();
        // The last record takes the rest, so that no bytes are left after it.
        if (remaining < 2 * (sizeof(fuse_dirent) + 64))
            name.assign(remaining - sizeof(fuse_dirent), 'z');
        fuse_dirent dirent { .ino = index + 2u,
            .off = index + 1u,
            .namelen = static_cast<std::uint32_t>(name.size()),
            .type = 8 };
        std::size_t start = payload.size();
        payload.resize(start + sizeof dirent + name.size()
            + static_cast<std::size_t>(DirectoryEntry::paddingCount(dirent.namelen)));
        std::memcpy(payload.data() + start, &dirent, sizeof dirent);
        std::memcpy(payload.data() + start + sizeof dirent, name.data(), name.size());
        ++recordCount;
    }
    return payload;
}

void BM_ParseReaddirPayload(benchmark::State& state)
{
    std::size_t recordCount = 0;
    Reply prototype(1, DiscontiguousData(ownedRegion(readdirPayload(recordCount))));
    std::size_t parsed = 0;
    {
        AllocationCounter counter(state);
        for (auto _ : state) {
            Reply reply = prototype;
            while (std::optional<DirectoryEntry> entry = DirectoryEntry::consumeNext(reply)) {
                benchmark::DoNotOptimize(entry->dirent.ino);
                ++parsed;
            }
        }
    }
    if (parsed != recordCount * static_cast<std::size_t>(state.iterations()))
        state.SkipWithError("not every record was parsed");
    state.counters["entries"] = static_cast<double>(recordCount);
    state.SetItemsProcessed(static_cast<std::int64_t>(parsed));
    state.SetBytesProcessed(state.iterations() * 10240);
}
BENCHMARK(BM_ParseReaddirPayload);

} // namespace
} // namespace vl

BENCHMARK_MAIN();
