// The USB function driver's streaming path on the simulated machine: the
// cost of one 1 ms frame (the playback and capture completions, the period
// callback of a client moving 2 or 32 channels each way through host buffers
// as a real client does, and the simulated device's share) beside a plain
// copy of the same bytes in the same run, as a ratio; and how many seconds of
// audio stream per second of wall time. What the client moved is checked
// after the timing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/device/vexa_interface.h"
#include "platform/machine/driver_loader.h"
#include "platform/machine/machine.h"
#include "platform/machine/pnp_manager.h"
#include "platform/usb/usb_port.h"
#include "support/fake_root.h"
#include "support/ring_client.h"

namespace {

constexpr uint16_t kChannels = 32;
constexpr ULONG kRate = 48000;
constexpr ULONG kHostFrames = 256;
constexpr size_t kFramesPerMs = kRate / 1000;

// The median of timing `bytes` of plain copies, `count` times.
double PlainCopyMedianNs(size_t bytes, int count) {
    std::vector<uint8_t> from(bytes, 1);
    std::vector<uint8_t> to(bytes);
    std::vector<double> nanoseconds;
    for (int i = 0; i < count; ++i) {
        from[static_cast<size_t>(i) % bytes] = static_cast<uint8_t>(i);
        auto begin = std::chrono::steady_clock::now();
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::ClobberMemory();
        nanoseconds.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - begin).count());
    }
    benchmark::DoNotOptimize(to.data());
    std::sort(nanoseconds.begin(), nanoseconds.end());
    return nanoseconds[nanoseconds.size() / 2];
}

struct Rig {
    platform::Machine machine;
    std::shared_ptr<platform::device::VexaInterface> device;
    vexa::test::FakeRoot root;
    std::unique_ptr<vexa::test::HostBufferClient> client;

    explicit Rig(uint16_t channels) {
        machine.drivers().install("QUVVexaUSBDevice", VEXA_USB_DEVICE_DRIVER);
        platform::device::VexaVariant variant;
        variant.channels = channels;
        variant.midi = false;
        device = platform::device::make_vexa_interface(platform::device::VexaModel::CantileQe, variant);
        platform::DevNode* node = platform::usb::plug(device, "QUVVexaUSBDevice", u"0001");
        root.query(&node->pdo);
        uint8_t rate[8] = {};
        ULONG hz = kRate;
        std::memcpy(rate, &hz, 4);
        rate[4] = platform::device::kInternalClockId;
        root.command(kDcpCategoryClock, kDcpClockSet, rate, sizeof(rate), nullptr, nullptr);
        StreamFormat format{kRate, platform::device::kInternalClockId, 0, 0, 0, 256, channels, channels};
        root.command(kDcpCategoryUsbDevice, kUsbCmdSetStreamFormat, &format, sizeof(format), nullptr, nullptr);
        uint8_t map[136] = {};
        root.command(kDcpCategoryUsbDevice, kUsbCmdMapStreamState, map, sizeof(map), nullptr, nullptr);
        StreamState* state;
        std::memcpy(&state, map, sizeof(state));
        client = std::make_unique<vexa::test::HostBufferClient>(state, channels, kHostFrames);
        // The interface loops playback back: the client plays 1 on every
        // channel, so every captured sample it moved is 1 once the loop is full.
        root.on_period = [this](ULONG64, ULONG frames) { client->on_period(frames); };
        ULONG on = 1;
        root.command(kDcpCategoryUsbDevice, kUsbCmdSetStreaming, &on, sizeof(on), nullptr, nullptr);
        machine.clock().run_for(platform::Milliseconds(20));
    }
};

void BM_StreamingFrame(benchmark::State& state) {
    auto channels = static_cast<uint16_t>(state.range(0));
    Rig rig(channels);
    int frames = 0;
    auto begin = std::chrono::steady_clock::now();
    for (auto _ : state) {
        rig.machine.clock().run_for(platform::Milliseconds(1));
        ++frames;
    }
    double frameNs = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - begin).count() /
                     std::max(frames, 1);
    // The same bytes a frame moves (its frames each way), by plain copies.
    double copy = PlainCopyMedianNs(kFramesPerMs * channels * sizeof(int32_t) * 2, std::max(frames, 1));
    state.counters["copy_ns"] = copy;
    state.counters["x_copy"] = copy > 0 ? frameNs / copy : 0;
    state.counters["periods"] = static_cast<double>(rig.client->periods());
    uint64_t wrong = 0;
    for (ULONG c = 0; c < channels; ++c) {
        for (ULONG k = 0; k < kHostFrames; ++k) wrong += rig.client->input(c, k) != 1;
    }
    state.counters["wrong_samples"] = static_cast<double>(wrong);
}
BENCHMARK(BM_StreamingFrame)->Arg(2)->Arg(kChannels)->Unit(benchmark::kNanosecond);

void BM_AudioSecondsPerWallSecond(benchmark::State& state) {
    Rig rig(kChannels);
    for (auto _ : state) {
        auto begin = std::chrono::steady_clock::now();
        rig.machine.clock().run_for(platform::Seconds(10));
        std::chrono::duration<double> wall = std::chrono::steady_clock::now() - begin;
        state.counters["audio_s_per_wall_s"] = 10.0 / wall.count();
    }
}
BENCHMARK(BM_AudioSecondsPerWallSecond)->Iterations(3)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
