// The root driver's period callback: the cost of one call with no client,
// one stereo client and five clients of 32 channels each way (median and
// 99.9th percentile, and heap allocations on the way, which must be none),
// each next to a plain copy of the same bytes in the same run (the ratio is
// what the callback costs beyond moving the samples); the same with five ASIO
// clients opened through the ASIO interface; and how many times faster than
// real time one virtual hour at 48 kHz streams end to end through both
// drivers and the simulated interface, with a stereo client and with one
// moving every channel. The clients only move samples, as a real client's
// host buffers take them; what they moved is checked after the timing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <vector>

#include "allocation_count.h"
#include "support/asio_interface_client.h"
#include "support/packet_rings.h"
#include "support/root_machine.h"

namespace {

using namespace vexa::test;

constexpr ULONG kPackets = 80;  // ten 1 ms transfers of eight packets
constexpr ULONG kFramesPerPacket = 6;
constexpr ULONG kFramesPerCall = 48;

constexpr uint32_t kHostFrames = 256;
constexpr int kCalls = 200000;

// A client that moves `channels` channels each way through host buffers.
void MakeMover(TestClientLog* log, uint32_t channels, uint32_t moveChannels) {
    log->move = true;
    log->host.moveChannels = moveChannels;
    log->host.hostFrames = kHostFrames;
    log->host.input.assign(size_t{channels} * kHostFrames, 0);
    log->host.output.assign(size_t{channels} * kHostFrames, 1);
}

double Median(std::vector<double>& values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Source and destination of the plain copy, placed alike in every run: two
// heap blocks land wherever the run's earlier allocations left room, and a
// destination a multiple of 4 KiB from its source doubles the copy's time,
// which moved the ratios between builds that differ only in that.
class CopyBuffers {
public:
    explicit CopyBuffers(size_t bytes) : bytes_(bytes), storage_(2 * Round(bytes) + kPage + kPage / 2, 1) {
        auto base = reinterpret_cast<uintptr_t>(storage_.data());
        from_ = storage_.data() + (Round(base) - base);
        to_ = from_ + Round(bytes) + kPage / 2;
    }
    uint8_t* from() { return from_; }
    uint8_t* to() { return to_; }
    size_t size() const { return bytes_; }

private:
    static constexpr size_t kPage = 4096;
    static size_t Round(size_t n) { return (n + kPage - 1) / kPage * kPage; }

    size_t bytes_;
    std::vector<uint8_t> storage_;
    uint8_t* from_;
    uint8_t* to_;
};

// The same bytes one call moves (each client's frames in and out), by plain copies.
double PlainCopyMedianNs(size_t bytes, int calls) {
    CopyBuffers buffers(bytes);
    uint8_t* from = buffers.from();
    uint8_t* to = buffers.to();
    std::vector<double> nanoseconds;
    nanoseconds.reserve(static_cast<size_t>(calls));
    for (int i = 0; i < calls; ++i) {
        from[static_cast<size_t>(i) % bytes] = static_cast<uint8_t>(i);
        auto begin = std::chrono::steady_clock::now();
        std::memcpy(to, from, bytes);
        benchmark::ClobberMemory();
        auto end = std::chrono::steady_clock::now();
        nanoseconds.push_back(std::chrono::duration<double, std::nano>(end - begin).count());
    }
    benchmark::DoNotOptimize(to);
    return Median(nanoseconds);
}

void BM_OnRealtimePeriod(benchmark::State& bench) {
    auto clients = static_cast<int>(bench.range(0));
    auto channels = static_cast<ULONG>(bench.range(1));
    RootMachine root(VEXA_TEST_DRIVER_DIR);
    PacketRings rings(channels, kFramesPerPacket, kPackets);
    // Capture channel c carries c + 1 throughout, so every moved sample can be checked afterwards.
    rings.fill_capture(kPackets * kFramesPerPacket, [](ULONG, ULONG channel) { return static_cast<LONG>(channel + 1); });
    std::deque<TestClientLog> logs(static_cast<size_t>(clients));
    std::vector<void*> added;
    for (auto& log : logs) {
        MakeMover(&log, channels, 0);
        added.push_back(root.add_client(&log));
        (void)root.start_client(added.back());  // no device: nothing streams, the client runs
    }
    root.set_stream_state(&rings.state);
    auto period = root.hook<PeriodFn>("VexaTestPeriod");
    WDFDEVICE fdo = root.fdo();
    std::vector<double> nanoseconds;
    nanoseconds.reserve(kCalls);
    uint64_t allocations = vexa::bench::Allocations();
    for (auto _ : bench) {
        auto begin = std::chrono::steady_clock::now();
        period(fdo, 0, kFramesPerCall);
        auto end = std::chrono::steady_clock::now();
        if (nanoseconds.size() < nanoseconds.capacity()) {
            nanoseconds.push_back(std::chrono::duration<double, std::nano>(end - begin).count());
        }
        rings.publish();
    }
    bench.counters["allocations"] = static_cast<double>(vexa::bench::Allocations() - allocations);
    double median = Median(nanoseconds);
    bench.counters["median_ns"] = median;
    if (!nanoseconds.empty()) bench.counters["p99.9_ns"] = nanoseconds[nanoseconds.size() * 999 / 1000];
    size_t bytes = size_t{kFramesPerCall} * channels * sizeof(LONG) * 2 * static_cast<size_t>(clients);
    if (bytes != 0) {
        double copy = PlainCopyMedianNs(bytes, static_cast<int>(nanoseconds.size()));
        bench.counters["copy_ns"] = copy;
        bench.counters["x_copy"] = copy > 0 ? median / copy : 0;
    }
    // Outside the timing: every client moved every channel's capture into its host buffer.
    uint64_t wrong = 0;
    for (auto& log : logs) {
        for (size_t k = 0; k < log.host.input.size(); ++k) wrong += log.host.input[k] != static_cast<int32_t>(k / kHostFrames + 1);
    }
    bench.counters["wrong_samples"] = static_cast<double>(wrong);
    root.set_stream_state(nullptr);
    for (void* c : added) root.remove_client(c);
}
BENCHMARK(BM_OnRealtimePeriod)
    ->ArgNames({"clients", "channels"})
    ->Args({0, 2})
    ->Args({1, 2})
    ->Args({5, 32})
    ->Iterations(kCalls);

// Five ASIO connections of 32 channels each way, opened through the ASIO
// interface by hosts in this process, with halves of `range(0)` frames: the
// root's own clients mix their output into the packets and copy the capture
// out, 48 frames a call. Each call is timed beside a plain copy of the same
// bytes (five clients, 64 channels, 48 frames of 4 bytes) in the same run;
// the ratio is the walk's cost over the copy's. The hosts acknowledge every
// switch between calls, as a host that keeps up does.
void BM_AsioPeriod(benchmark::State& bench) {
    constexpr ULONG kChannels = 32;
    constexpr int kClients = 5;
    auto frames = static_cast<uint32_t>(bench.range(0));
    RootMachine root(VEXA_TEST_DRIVER_DIR);
    FakeDeviceScript script;
    script.outputs = script.inputs = kChannels;
    if (root.plug(&script) == nullptr) {
        bench.SkipWithError("no device");
        return;
    }
    std::vector<uint32_t> channels;
    for (uint32_t c = 0; c < kChannels; ++c) channels.push_back(c);
    std::vector<std::unique_ptr<AsioInterfaceClient>> hosts;
    for (int i = 0; i < kClients; ++i) {
        auto host = std::make_unique<AsioInterfaceClient>(false);
        if (!host->open() || !host->open_session().ok() || !host->create_buffers(frames, channels, channels).ok() ||
            !host->start().ok()) {
            bench.SkipWithError("an ASIO host could not start");
            return;
        }
        hosts.push_back(std::move(host));
    }
    PacketRings rings(kChannels, kFramesPerPacket, kPackets);
    root.set_stream_state(&rings.state);
    auto period = root.hook<PeriodFn>("VexaTestPeriod");
    WDFDEVICE fdo = root.fdo();
    CopyBuffers copy(size_t{kClients} * 2 * kChannels * kFramesPerCall * sizeof(LONG));
    std::vector<double> periodNs;
    std::vector<double> copyNs;
    periodNs.reserve(1 << 20);
    copyNs.reserve(1 << 20);
    uint64_t allocations = 0;
    for (auto _ : bench) {
        uint64_t before = vexa::bench::Allocations();
        auto begin = std::chrono::steady_clock::now();
        period(fdo, 0, kFramesPerCall);
        auto middle = std::chrono::steady_clock::now();
        allocations += vexa::bench::Allocations() - before;
        std::memcpy(copy.to(), copy.from(), copy.size());
        benchmark::ClobberMemory();
        auto end = std::chrono::steady_clock::now();
        bench.PauseTiming();
        if (periodNs.size() < periodNs.capacity()) {
            periodNs.push_back(std::chrono::duration<double, std::nano>(middle - begin).count());
            copyNs.push_back(std::chrono::duration<double, std::nano>(end - middle).count());
        }
        rings.publish();
        for (auto& host : hosts) host->acknowledge(host->switch_sequence());
        bench.ResumeTiming();
    }
    bench.counters["allocations"] = static_cast<double>(allocations);
    std::sort(periodNs.begin(), periodNs.end());
    std::sort(copyNs.begin(), copyNs.end());
    if (!periodNs.empty()) {
        double median = periodNs[periodNs.size() / 2];
        double copyMedian = copyNs[copyNs.size() / 2];
        bench.counters["median_ns"] = median;
        bench.counters["p99.9_ns"] = periodNs[periodNs.size() * 999 / 1000];
        bench.counters["copy_median_ns"] = copyMedian;
        bench.counters["copy_p99.9_ns"] = copyNs[copyNs.size() * 999 / 1000];
        bench.counters["ratio"] = copyMedian > 0 ? median / copyMedian : 0;
    }
    root.set_stream_state(nullptr);
    hosts.clear();
}
BENCHMARK(BM_AsioPeriod)->ArgNames({"half_frames"})->Arg(48)->Arg(512)->Iterations(100000);

// One virtual hour at 48 kHz through both drivers and a Cantile-QE, a client
// moving `channels` channels each way (0: all of them).
void BM_VirtualHour(benchmark::State& bench) {
    auto moveChannels = static_cast<uint32_t>(bench.range(0));
    constexpr uint64_t kHourSeconds = 3600;
    for (auto _ : bench) {
        bench.PauseTiming();
        RootMachine root(VEXA_TEST_DRIVER_DIR, {}, VEXA_USB_DRIVER_DIR);
        root.ports().plug(platform::device::VexaModel::CantileQe);
        TestClientLog log;
        uint32_t channels = root.ports().ports().front().device->playback_channels();
        MakeMover(&log, moveChannels != 0 ? moveChannels : channels, moveChannels);
        void* client = root.add_client(&log);
        (void)root.start_client(client);
        bench.ResumeTiming();
        auto begin = std::chrono::steady_clock::now();
        root.machine().clock().run_for(platform::Seconds(kHourSeconds));
        std::chrono::duration<double> wall = std::chrono::steady_clock::now() - begin;
        bench.PauseTiming();
        bench.counters["x_real_time"] = static_cast<double>(kHourSeconds) / wall.count();
        bench.counters["channels"] = static_cast<double>(std::min(log.host.input.size() / kHostFrames, size_t{channels}));
        bench.counters["frames"] = static_cast<double>(log.frames);
        root.remove_client(client);
        bench.ResumeTiming();
    }
}
BENCHMARK(BM_VirtualHour)->ArgName("channels")->Arg(2)->Arg(0)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
