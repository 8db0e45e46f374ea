// The WDM side of the root driver: the period callback with one stereo
// kernel render and one capture client (whose child transfers exactly the
// bytes each period asks), and WdmStreamTransfer's throughput in 16 and 24
// bits; each next to a plain copy of the same bytes in the same run, as a
// ratio, with the heap allocations on the way (which must be none).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "allocation_count.h"
#include "driver/usb/win/vexa_usb_swroot/wdm_hooks.h"
#include "support/midi_doubles.h"
#include "support/packet_rings.h"
#include "support/root_machine.h"

namespace {

using namespace vexa::test;
using namespace vexa::child;
using Clock = std::chrono::steady_clock;

constexpr ULONG kPackets = 80;
constexpr ULONG kFramesPerPacket = 6;
constexpr ULONG kFramesPerCall = 48;
constexpr ULONG kChannels = 2;

// The child: each period it transfers exactly the bytes asked, from or into its own buffer.
struct BenchChild {
    WdmStreamTransferFn transfer = nullptr;
    void* stream = nullptr;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(1 << 16, 0x21);
    static void Period(void* context, uint32_t bytes) {
        auto* self = static_cast<BenchChild*>(context);
        self->transfer(self->stream, self->buffer.data(), bytes);
    }
    static void Notify(void*, uint32_t) {}
};

// A machine with a scripted device, the adapter child played by the benchmark.
struct WdmBench {
    FakeDeviceScript script;
    RootMachine root{VEXA_TEST_DRIVER_DIR};
    platform::DevNode* node = nullptr;
    uint64_t adapter = 0;

    WdmBench() {
        root.plug(&script);
        platform::wait_for_pnp_idle();
        node = FindChild(root.children(), u"QUVVexaUSB\\Audio&Adapter", u"1");
        WdmOpen open{};
        open.notify = reinterpret_cast<uint64_t>(&BenchChild::Notify);
        open.notifyContext = 1;
        (void)SendToChild(node, kIoctlWdmOpen, true, &open, sizeof(open));
        adapter = open.adapter;
    }
    // Opens a stream of `child`; its set-state function.
    WdmStreamSetStateFn open(BenchChild* child, uint32_t direction, uint32_t bits) {
        uint8_t buffer[sizeof(WdmOpenStream)] = {};
        WdmOpenStream request{};
        request.channelCount = kChannels;
        request.bitsPerSample = bits;
        request.direction = direction;
        request.sampleRate = 48000;
        request.streamCallback = reinterpret_cast<uint64_t>(&BenchChild::Period);
        request.streamContext = reinterpret_cast<uint64_t>(child);
        request.adapter = adapter;
        std::memcpy(buffer, &request, sizeof(request));
        (void)SendToChild(node, kIoctlWdmOpenStream, true, buffer, sizeof(buffer));
        uint64_t transfer;
        uint64_t setState;
        std::memcpy(&transfer, buffer + kWdmStreamTransferOffset, 8);
        std::memcpy(&setState, buffer + kWdmStreamSetStateOffset, 8);
        std::memcpy(&request, buffer, sizeof(request));
        child->transfer = reinterpret_cast<WdmStreamTransferFn>(transfer);
        child->stream = reinterpret_cast<void*>(request.stream);
        return reinterpret_cast<WdmStreamSetStateFn>(setState);
    }
};

void BM_PeriodWithKernelClients(benchmark::State& bench) {
    WdmBench wdm;
    BenchChild render;
    BenchChild capture;
    WdmStreamSetStateFn renderState = wdm.open(&render, kWdmRender, 24);
    WdmStreamSetStateFn captureState = wdm.open(&capture, kWdmCapture, 24);
    (void)renderState(render.stream, kWdmStateRun);
    (void)captureState(capture.stream, kWdmStateRun);
    PacketRings rings(kChannels, kFramesPerPacket, kPackets);
    wdm.root.set_stream_state(&rings.state);
    auto period = wdm.root.hook<PeriodFn>("VexaTestPeriod");
    WDFDEVICE fdo = wdm.root.fdo();
    std::vector<LONG> copySource(kFramesPerCall * kChannels * 2, 7);
    std::vector<LONG> copyTarget(copySource.size());
    double periodNs = 0;
    double copyNs = 0;
    uint64_t allocations = vexa::bench::Allocations();
    for (auto _ : bench) {
        auto begin = Clock::now();
        period(fdo, 0, kFramesPerCall);
        auto middle = Clock::now();
        // The same samples moved plainly: both directions' packets and rings.
        std::memcpy(copyTarget.data(), copySource.data(), copySource.size() * sizeof(LONG));
        benchmark::DoNotOptimize(copyTarget.data());
        auto end = Clock::now();
        periodNs += std::chrono::duration<double, std::nano>(middle - begin).count();
        copyNs += std::chrono::duration<double, std::nano>(end - middle).count();
        rings.publish();
    }
    bench.counters["allocations"] = static_cast<double>(vexa::bench::Allocations() - allocations);
    bench.counters["period_ns"] = periodNs / static_cast<double>(bench.iterations());
    bench.counters["copy_ns"] = copyNs / static_cast<double>(bench.iterations());
    bench.counters["period_per_copy"] = copyNs > 0 ? periodNs / copyNs : 0;
    wdm.root.set_stream_state(nullptr);
    (void)renderState(render.stream, kWdmStateStop);
    (void)captureState(capture.stream, kWdmStateStop);
}
BENCHMARK(BM_PeriodWithKernelClients)->Iterations(200000);

void BM_WdmStreamTransfer(benchmark::State& bench) {
    auto bits = static_cast<uint32_t>(bench.range(0));
    auto direction = static_cast<uint32_t>(bench.range(1));
    WdmBench wdm;
    BenchChild child;
    (void)wdm.open(&child, direction, bits);
    auto rewind = wdm.root.hook<RewindStreamFn>("VexaTestRewindStream");
    constexpr uint32_t kFrames = 480;  // a 10 ms period at 48 kHz
    uint32_t bytes = kFrames * kChannels * (bits / 8);
    std::vector<uint8_t> copyTarget(bytes);
    double transferNs = 0;
    double copyNs = 0;
    uint32_t moved = 0;
    uint64_t allocations = vexa::bench::Allocations();
    for (auto _ : bench) {
        if (moved + kFrames > 2400) {  // half the 4800-sample ring: back to the start, untimed
            bench.PauseTiming();
            rewind(child.stream);
            moved = 0;
            bench.ResumeTiming();
        }
        auto begin = Clock::now();
        child.transfer(child.stream, child.buffer.data(), bytes);
        auto middle = Clock::now();
        std::memcpy(copyTarget.data(), child.buffer.data(), bytes);
        benchmark::DoNotOptimize(copyTarget.data());
        auto end = Clock::now();
        transferNs += std::chrono::duration<double, std::nano>(middle - begin).count();
        copyNs += std::chrono::duration<double, std::nano>(end - middle).count();
        moved += kFrames;
    }
    double megabytes = static_cast<double>(bench.iterations()) * bytes / 1e6;
    bench.counters["allocations"] = static_cast<double>(vexa::bench::Allocations() - allocations);
    bench.counters["transfer_MBps"] = transferNs > 0 ? megabytes / (transferNs / 1e9) : 0;
    bench.counters["copy_MBps"] = copyNs > 0 ? megabytes / (copyNs / 1e9) : 0;
    bench.counters["transfer_per_copy"] = copyNs > 0 ? transferNs / copyNs : 0;
}
BENCHMARK(BM_WdmStreamTransfer)
    ->ArgNames({"bits", "render"})
    ->Args({16, 1})
    ->Args({24, 1})
    ->Args({16, 0})
    ->Args({24, 0})
    ->Iterations(200000);

}  // namespace

BENCHMARK_MAIN();
