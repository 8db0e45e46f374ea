// The USB function driver's streaming path on the simulated machine: the
// cost of one 1 ms frame (the playback and capture completions, the period
// callback of a client walking 32 channels each way, and the simulated
// device's share), and how many seconds of audio stream per second of wall time.
#include <benchmark/benchmark.h>

#include <chrono>

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

struct Rig {
    platform::Machine machine;
    std::shared_ptr<platform::device::VexaInterface> device;
    vexa::test::FakeRoot root;
    std::unique_ptr<vexa::test::RingClient> client;

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
        client = std::make_unique<vexa::test::RingClient>(state, [](uint64_t n, ULONG c) {
            return static_cast<LONG>(n * 31 + c);
        });
        device->set_loopback(false);
        root.on_period = [this](ULONG64, ULONG frames) { client->on_period(frames); };
        ULONG on = 1;
        root.command(kDcpCategoryUsbDevice, kUsbCmdSetStreaming, &on, sizeof(on), nullptr, nullptr);
        machine.clock().run_for(platform::Milliseconds(20));
    }
};

void BM_StreamingFrame(benchmark::State& state) {
    Rig rig(static_cast<uint16_t>(state.range(0)));
    for (auto _ : state) rig.machine.clock().run_for(platform::Milliseconds(1));
    state.counters["periods"] = static_cast<double>(rig.client->periods());
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
