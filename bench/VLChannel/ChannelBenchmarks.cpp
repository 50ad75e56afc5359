// The channel against its floor: the same FUSE traffic over a socket pair, once written and read
// by plain blocking calls on one thread, once through Channel::process from tasks. A peer thread
// answers every request: a lookup-sized request (40 + 3 + 1 bytes) with a 160-byte reply, a
// 1 MiB write with a fuse_write_out. After the runs the program prints each channel figure as a
// ratio to its floor (the median over repetitions, e.g. --benchmark_repetitions=5).
#include "Platform/Foundation/DescriptorIO.h"
#include "Platform/Foundation/FileHandle.h"
#include "Platform/OS/Logger.h"
#include "Platform/Tasks/Spawn.h"
#include "Platform/Tasks/TaskGroup.h"
#include "VLChannel/Channel.h"
#include "VLChannel/SocketTransportMedium.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace vl {
namespace {

constexpr std::size_t replyBodyCount = 144;
constexpr std::size_t writeDataCount = 1 << 20;
constexpr int roundTripsPerIteration = 512;
constexpr int writesPerIteration = 16;
const std::byte name[3] = { std::byte { 'a' }, std::byte { 'b' }, std::byte { 'c' } };

// Whole transfers over the platform's helpers; a stream that ends early is a failure here.
void readCompletely(int descriptor, void* buffer, std::size_t count)
{
    if (foundation::readCompletely(descriptor, std::span(static_cast<std::byte*>(buffer), count)) < count)
        throw std::runtime_error("read failed");
}

void sendCompletely(int descriptor, const void* buffer, std::size_t count)
{
    foundation::writeCompletely(descriptor, std::span(static_cast<const std::byte*>(buffer), count));
}

// The daemon's side: reads each request (header, then the rest) and answers it in one send.
class EchoPeer {
public:
    explicit EchoPeer(int descriptor)
        : descriptor(descriptor)
        , thread([this] { serve(); })
    {
    }
    ~EchoPeer()
    {
        ::shutdown(descriptor, SHUT_RDWR);
        thread.join();
        ::close(descriptor);
    }

private:
    void serve()
    {
        std::vector<std::byte> body(writeDataCount + 4096);
        std::byte reply[16 + replyBodyCount] = {};
        try {
            for (;;) {
                fuse_in_header header;
                readCompletely(descriptor, &header, sizeof header);
                if (header.len > sizeof header)
                    readCompletely(descriptor, body.data(), header.len - sizeof header);
                fuse_out_header out {};
                out.unique = header.unique;
                out.len = header.opcode == FUSE_WRITE ? 16 + sizeof(fuse_write_out) : sizeof reply;
                std::memcpy(reply, &out, sizeof out);
                sendCompletely(descriptor, reply, out.len);
            }
        } catch (const std::runtime_error&) {
            // The other end closed: the run is over.
        }
    }

    int descriptor;
    std::thread thread;
};

struct SocketPair {
    SocketPair()
    {
        int descriptors[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, descriptors) != 0)
            throw std::runtime_error("socketpair failed");
        near = descriptors[0];
        far = descriptors[1];
    }
    int near;
    int far;
};

// --- The floor: plain blocking calls on the benchmark's thread.

class RawClient {
public:
    RawClient()
        : peer(sockets.far)
    {
    }
    ~RawClient() { ::close(sockets.near); }

    void sendLookup()
    {
        fuse_in_header header {};
        header.len = sizeof header + sizeof name + 1;
        header.opcode = FUSE_LOOKUP;
        header.unique = nextUnique++;
        header.nodeid = 1;
        const std::byte zero { 0 };
        sendCompletely(sockets.near, &header, sizeof header);
        sendCompletely(sockets.near, name, sizeof name);
        sendCompletely(sockets.near, &zero, 1);
    }

    void readReply()
    {
        fuse_out_header header;
        readCompletely(sockets.near, &header, sizeof header);
        if (header.len > sizeof header)
            readCompletely(sockets.near, replyBody, header.len - sizeof header);
    }

    void write(const std::vector<std::byte>& data)
    {
        std::byte fixed[sizeof(fuse_in_header) + sizeof(fuse_write_in)] = {};
        fuse_in_header header {};
        header.len = static_cast<std::uint32_t>(sizeof fixed + data.size());
        header.opcode = FUSE_WRITE;
        header.unique = nextUnique++;
        header.nodeid = 2;
        fuse_write_in in {};
        in.size = static_cast<std::uint32_t>(data.size());
        std::memcpy(fixed, &header, sizeof header);
        std::memcpy(fixed + sizeof header, &in, sizeof in);
        sendCompletely(sockets.near, fixed, sizeof fixed);
        sendCompletely(sockets.near, data.data(), data.size());
        readReply();
    }

private:
    SocketPair sockets;
    EchoPeer peer;
    std::uint64_t nextUnique = 1;
    std::byte replyBody[4096];
};

void RawRoundTrip(benchmark::State& state)
{
    RawClient client;
    for (auto _ : state) {
        for (int index = 0; index < roundTripsPerIteration; ++index) {
            client.sendLookup();
            client.readReply();
        }
    }
    state.SetItemsProcessed(state.iterations() * roundTripsPerIteration);
}

void RawPipelined(benchmark::State& state)
{
    const int outstanding = static_cast<int>(state.range(0));
    RawClient client;
    for (auto _ : state) {
        int sent = 0;
        for (; sent < outstanding; ++sent)
            client.sendLookup();
        for (int received = 0; received < roundTripsPerIteration; ++received) {
            client.readReply();
            if (sent < roundTripsPerIteration) {
                client.sendLookup();
                ++sent;
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * roundTripsPerIteration);
}

void RawWrite1MiB(benchmark::State& state)
{
    RawClient client;
    std::vector<std::byte> data(writeDataCount, std::byte { 0x5a });
    for (auto _ : state)
        for (int index = 0; index < writesPerIteration; ++index)
            client.write(data);
    state.SetBytesProcessed(
        state.iterations() * writesPerIteration * static_cast<std::int64_t>(writeDataCount));
}

// --- The channel: the same traffic through Channel::process from tasks.

class ChannelClient {
public:
    ChannelClient()
        : peer(sockets.far)
        , channel(std::make_shared<Channel>(std::make_unique<SocketTransportMedium>(
              std::make_shared<foundation::FileHandle>(sockets.near))))
    {
        tasks::runBlocking(channel->open());
    }
    ~ChannelClient() { tasks::runBlocking(channel->close()); }

private:
    SocketPair sockets;
    EchoPeer peer;

public:
    const std::shared_ptr<Channel> channel;
};

Request lookupRequest()
{
    return Request(FUSE_LOOKUP, 1, 0, 0, 0,
        Request::Part::unmanaged(DiscontiguousData(
            DiscontiguousData::Region(std::span<const std::byte>(name)), Request::Part::nullByte)));
}

tasks::Task<void> lookups(std::shared_ptr<Channel> channel, int count)
{
    for (int index = 0; index < count; ++index) {
        Reply reply = co_await channel->process(lookupRequest());
        benchmark::DoNotOptimize(reply.count());
    }
}

tasks::Task<void> concurrentLookups(std::shared_ptr<Channel> channel, int taskCount, int total)
{
    auto start = [&](tasks::DiscardingTaskGroup& group) -> tasks::Task<void> {
        for (int index = 0; index < taskCount; ++index)
            group.addTask(lookups(channel, total / taskCount));
        co_return;
    };
    co_await tasks::withThrowingDiscardingTaskGroup(start);
}

void ChannelRoundTrip(benchmark::State& state)
{
    ChannelClient client;
    for (auto _ : state)
        tasks::runBlocking(lookups(client.channel, roundTripsPerIteration));
    state.SetItemsProcessed(state.iterations() * roundTripsPerIteration);
}

void ChannelConcurrent(benchmark::State& state)
{
    const int concurrency = static_cast<int>(state.range(0));
    ChannelClient client;
    for (auto _ : state)
        tasks::runBlocking(concurrentLookups(client.channel, concurrency, roundTripsPerIteration));
    state.SetItemsProcessed(state.iterations() * roundTripsPerIteration);
}

tasks::Task<void> writes(std::shared_ptr<Channel> channel, const std::vector<std::byte>& data, int count)
{
    for (int index = 0; index < count; ++index) {
        Request request(FUSE_WRITE, 2, 0, 0, 0,
            Request::Part::managed<fuse_write_in>(
                [&data](fuse_write_in& in) { in.size = static_cast<std::uint32_t>(data.size()); }),
            Request::Part::unmanaged(DiscontiguousData::Region(std::span<const std::byte>(data))));
        Reply reply = co_await channel->process(std::move(request));
        benchmark::DoNotOptimize(reply.count());
    }
}

void ChannelWrite1MiB(benchmark::State& state)
{
    ChannelClient client;
    std::vector<std::byte> data(writeDataCount, std::byte { 0x5a });
    for (auto _ : state)
        tasks::runBlocking(writes(client.channel, data, writesPerIteration));
    state.SetBytesProcessed(
        state.iterations() * writesPerIteration * static_cast<std::int64_t>(writeDataCount));
}

BENCHMARK(RawRoundTrip)->UseRealTime();
BENCHMARK(ChannelRoundTrip)->UseRealTime();
BENCHMARK(RawPipelined)->Arg(64)->UseRealTime();
BENCHMARK(ChannelConcurrent)->Arg(1)->Arg(8)->Arg(64)->UseRealTime();
BENCHMARK(RawWrite1MiB)->UseRealTime();
BENCHMARK(ChannelWrite1MiB)->UseRealTime();

// Keeps each run's rate for the comparison printed at the end; with repetitions, the median.
class RecordingReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration)
                continue;
            for (const char* rate : { "items_per_second", "bytes_per_second" }) {
                auto counter = run.counters.find(rate);
                if (counter != run.counters.end())
                    rates[run.run_name.str()].push_back(counter->second.value);
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }

    // The median rate of the runs whose name starts with `name`, or 0 when none ran.
    double rate(const std::string& name) const
    {
        for (const auto& [runName, values] : rates) {
            if (runName.rfind(name, 0) != 0)
                continue;
            std::vector<double> sorted = values;
            std::sort(sorted.begin(), sorted.end());
            return sorted[sorted.size() / 2];
        }
        return 0;
    }

private:
    std::map<std::string, std::vector<double>> rates;
};

void printComparison(const RecordingReporter& reporter)
{
    double rawRoundTrip = reporter.rate("RawRoundTrip");
    double rawPipelined = reporter.rate("RawPipelined/64");
    double rawWrite = reporter.rate("RawWrite1MiB");
    auto ratio
        = [](double channel, double floor) { return floor > 0 && channel > 0 ? channel / floor : 0.0; };
    std::printf("\nChannel against its floor\n");
    if (rawRoundTrip > 0 && reporter.rate("ChannelRoundTrip") > 0)
        std::printf(
            "  round trip, one outstanding:   %7.2f us vs %7.2f us  latency ratio %5.2f (goal <= 1.5)\n",
            1e6 / reporter.rate("ChannelRoundTrip"), 1e6 / rawRoundTrip,
            ratio(rawRoundTrip, reporter.rate("ChannelRoundTrip")));
    for (const char* concurrency : { "1", "8", "64" }) {
        double channel = reporter.rate(std::string("ChannelConcurrent/") + concurrency + "/");
        if (channel > 0 && rawPipelined > 0)
            std::printf(
                "  %2s concurrent tasks:            %8.0f req/s vs %8.0f req/s pipelined  ratio %5.2f%s\n",
                concurrency, channel, rawPipelined, ratio(channel, rawPipelined),
                std::string(concurrency) == "64" ? " (goal >= 0.70)" : "");
    }
    if (rawWrite > 0 && reporter.rate("ChannelWrite1MiB") > 0)
        std::printf("  1 MiB writes:                  %6.2f GB/s vs %6.2f GB/s  ratio %5.2f (goal >= 0.90)\n",
            reporter.rate("ChannelWrite1MiB") / 1e9, rawWrite / 1e9,
            ratio(reporter.rate("ChannelWrite1MiB"), rawWrite));
}

} // namespace
} // namespace vl

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    vl::RecordingReporter reporter;
    {
        // Keeps each channel's "socket closed" line out of the report.
        os::LogCapture quiet;
        benchmark::RunSpecifiedBenchmarks(&reporter);
    }
    vl::printComparison(reporter);
    benchmark::Shutdown();
    return 0;
}
