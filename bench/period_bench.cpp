// The root driver's period callback: the cost of one call with no client,
// one stereo client and five clients of 32 channels each way (median and
// 99.9th percentile, and heap allocations on the way, which must be none),
// the same with five ASIO clients beside a plain copy of the bytes they move,
// and the wall time one virtual hour at 48 kHz takes end to end through both
// drivers and the simulated interface.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <new>
#include <vector>

#include "support/asio_host.h"
#include "support/root_machine.h"

namespace {

std::atomic<uint64_t> g_allocations{0};

}  // namespace

// Every heap allocation of the process, the driver images' included (the
// program exports these, so the images bind to them).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t bytes) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(bytes == 0 ? 1 : bytes)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
#pragma GCC diagnostic pop

namespace {

using namespace vexa::test;

constexpr ULONG kPackets = 80;  // ten 1 ms transfers of eight packets
constexpr ULONG kFramesPerPacket = 6;
constexpr ULONG kFramesPerCall = 48;

// A capture and a playback ring laid out as the USB function driver lays them.
struct Rings {
    std::vector<LONG> samples[2];
    std::vector<RingPacket> packets[2];
    StreamState state{};

    explicit Rings(ULONG channels) {
        for (int ring = 0; ring < 2; ++ring) {
            samples[ring].assign(size_t{kPackets} * kFramesPerPacket * channels, 0);
            packets[ring].resize(kPackets);
            for (ULONG p = 0; p < kPackets; ++p) {
                packets[ring][p] = RingPacket{samples[ring].data() + size_t{p} * kFramesPerPacket * channels,
                                              kFramesPerPacket, p / 8, kFramesPerPacket * channels, 0,
                                              &packets[ring][(p + 1) % kPackets]};
            }
        }
        state.captureCursorPacket = state.captureEndPacket = &packets[0][0];
        state.playbackCursorPacket = state.playbackEndPacket = &packets[1][0];
        state.captureChannels = state.playbackChannels = channels;
        state.captureRingBytes = state.playbackRingBytes = static_cast<ULONG>(samples[0].size() * sizeof(LONG));
    }

    // What the USB function driver does after each call: the next period starts at the ends.
    void publish() {
        state.captureCursorPacket = state.captureEndPacket;
        state.captureCursorPosition = state.captureEndPosition;
        state.playbackCursorPacket = state.playbackEndPacket;
        state.playbackCursorPosition = state.playbackEndPosition;
    }
};

void BM_OnRealtimePeriod(benchmark::State& bench) {
    auto clients = static_cast<int>(bench.range(0));
    auto channels = static_cast<ULONG>(bench.range(1));
    RootMachine root(VEXA_TEST_DRIVER_DIR);
    Rings rings(channels);
    std::deque<TestClientLog> logs(static_cast<size_t>(clients));
    std::vector<void*> added;
    for (auto& log : logs) {
        added.push_back(root.add_client(&log));
        (void)root.start_client(added.back());  // no device: nothing streams, the client runs
    }
    root.set_stream_state(&rings.state);
    auto period = root.hook<PeriodFn>("VexaTestPeriod");
    WDFDEVICE fdo = root.fdo();
    std::vector<double> nanoseconds;
    nanoseconds.reserve(1 << 20);
    uint64_t allocations = g_allocations.load();
    for (auto _ : bench) {
        auto begin = std::chrono::steady_clock::now();
        period(fdo, 0, kFramesPerCall);
        auto end = std::chrono::steady_clock::now();
        if (nanoseconds.size() < nanoseconds.capacity()) {
            nanoseconds.push_back(std::chrono::duration<double, std::nano>(end - begin).count());
        }
        rings.publish();
    }
    bench.counters["allocations"] = static_cast<double>(g_allocations.load() - allocations);
    std::sort(nanoseconds.begin(), nanoseconds.end());
    if (!nanoseconds.empty()) {
        bench.counters["median_ns"] = nanoseconds[nanoseconds.size() / 2];
        bench.counters["p99.9_ns"] = nanoseconds[nanoseconds.size() * 999 / 1000];
    }
    root.set_stream_state(nullptr);
    for (void* c : added) root.remove_client(c);
}
BENCHMARK(BM_OnRealtimePeriod)
    ->ArgNames({"clients", "channels"})
    ->Args({0, 2})
    ->Args({1, 2})
    ->Args({5, 32})
    ->Iterations(200000);

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
    std::vector<std::unique_ptr<AsioHost>> hosts;
    for (int i = 0; i < kClients; ++i) {
        auto host = std::make_unique<AsioHost>(false);
        if (!host->open() || !host->open_session().ok() || !host->create_buffers(frames, channels, channels).ok() ||
            !host->start().ok()) {
            bench.SkipWithError("an ASIO host could not start");
            return;
        }
        hosts.push_back(std::move(host));
    }
    Rings rings(kChannels);
    root.set_stream_state(&rings.state);
    auto period = root.hook<PeriodFn>("VexaTestPeriod");
    WDFDEVICE fdo = root.fdo();
    std::vector<uint8_t> from(size_t{kClients} * 2 * kChannels * kFramesPerCall * sizeof(LONG), 1);
    std::vector<uint8_t> to(from.size());
    std::vector<double> periodNs;
    std::vector<double> copyNs;
    periodNs.reserve(1 << 20);
    copyNs.reserve(1 << 20);
    uint64_t allocations = 0;
    for (auto _ : bench) {
        uint64_t before = g_allocations.load(std::memory_order_relaxed);
        auto begin = std::chrono::steady_clock::now();
        period(fdo, 0, kFramesPerCall);
        auto middle = std::chrono::steady_clock::now();
        allocations += g_allocations.load(std::memory_order_relaxed) - before;
        std::memcpy(to.data(), from.data(), from.size());
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

// One virtual hour at 48 kHz, a client looping a ramp through both drivers and the interface.
void BM_VirtualHour(benchmark::State& bench) {
    for (auto _ : bench) {
        bench.PauseTiming();
        RootMachine root(VEXA_TEST_DRIVER_DIR, {}, VEXA_USB_DRIVER_DIR);
        root.ports().plug(platform::device::VexaModel::CantileQe);
        TestClientLog log;
        log.ramp = true;
        void* client = root.add_client(&log);
        (void)root.start_client(client);
        bench.ResumeTiming();
        root.machine().clock().run_for(platform::Seconds(3600));
        bench.PauseTiming();
        bench.counters["mismatches"] = static_cast<double>(log.mismatches);
        bench.counters["frames"] = static_cast<double>(log.captured);
        root.remove_client(client);
        bench.ResumeTiming();
    }
}
BENCHMARK(BM_VirtualHour)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
