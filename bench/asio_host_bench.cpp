// The whole stack with an ASIO host in the loop.
//
// In real time: vexa-machine and vexa-asio-host run as programs of their own
// for a few seconds; the host reports the time between its buffer switches
// against the ideal (median, 99th and 99.9th percentile) at 48 and at 512
// frames (a half of 512 frames, 10.67 ms, falls between the 1 ms USB
// frames the device completes on, so its switches deviate by up to a third
// of a millisecond by design), and /proc tells the share of one core the
// machine used meanwhile, streaming two channels and every channel of a
// Cantile-QE.
//
// In virtual time: the cost in wall time of one streamed millisecond through
// the whole stack (the host's buffer switch, the ASIO driver, the root
// driver, the USB function driver, the simulated interface and back), next
// to a plain copy of the same samples out and in; the ratio is what the
// stack costs beyond moving the samples.
#include <benchmark/benchmark.h>

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "machine_process.h"
#include "platform/win32/objbase.h"
#include "platform/win32/threads.h"
#include "support/root_machine.h"
#include "support/temp_dir.h"
#include "tools/vexa-asio-host/asio_driver_list.h"
#include "tools/vexa-asio-host/asio_host.h"

namespace {

constexpr int kRealTimeSeconds = 5;
constexpr uint64_t kVirtualMs = 2000;
constexpr int kQeChannels = 10;

// A number after `label` in `text`; -1 when absent.
double After(const std::string& text, const std::string& label) {
    size_t at = text.find(label);
    if (at == std::string::npos) return -1;
    return std::strtod(text.c_str() + at + label.size(), nullptr);
}

// args: half buffer size in frames, channels (0: every one).
void BM_RealTimeStreaming(benchmark::State& state) {
    const auto frames = static_cast<int>(state.range(0));
    const auto channels = static_cast<int>(state.range(1));
    for (auto _ : state) {
        vexa::test::TempDir dir;
        vexa::bench::MachineProcess machine(VEXA_MACHINE_BIN, dir);
        if (!machine.ready()) {
            state.SkipWithError("vexa-machine did not start");
            return;
        }
        std::string command = std::string(VEXA_ASIO_HOST_BIN) + " --socket " + machine.socket() + " --seconds " +
                              std::to_string(kRealTimeSeconds) + " --buffer-size " + std::to_string(frames) +
                              " --channels " + (channels == 0 ? "all" : "0-" + std::to_string(channels - 1));
        long before = vexa::bench::CpuTicks(machine.pid());
        auto begin = std::chrono::steady_clock::now();
        FILE* host = popen(command.c_str(), "r");
        std::string out;
        char chunk[4096];
        size_t got;
        while ((got = std::fread(chunk, 1, sizeof(chunk), host)) > 0) out.append(chunk, got);
        int status = pclose(host);
        long after = vexa::bench::CpuTicks(machine.pid());
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        double cpu = vexa::bench::TicksToSeconds(after - before);
        int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        if (code != 0 && code != 3) {
            state.SkipWithError(("vexa-asio-host exited with " + std::to_string(code)).c_str());
            return;
        }
        state.counters["median_us"] = After(out, "median ");
        state.counters["p99_us"] = After(out, "99th percentile ");
        state.counters["p999_us"] = After(out, "99.9th percentile ");
        state.counters["machine_cpu_percent"] = 100.0 * cpu / wall;
        state.counters["host_fell_behind"] = code == 3 ? 1 : 0;
    }
}
BENCHMARK(BM_RealTimeStreaming)
    ->ArgNames({"frames", "channels"})
    ->Args({48, 2})
    ->Args({48, 0})
    ->Args({512, 2})
    ->Args({512, 0})
    ->Iterations(1)
    ->Unit(benchmark::kSecond)
    ->UseRealTime();

// The in-process host on the virtual clock: the standard machine with the
// real driver images, the ASIO driver created from the registry.
struct VirtualStack {
    vexa::test::RootMachine root{VEXA_DRIVER_DIR, {}, VEXA_DRIVER_DIR};
    std::unique_ptr<vexa::asio_host::AsioHost> host;
    uint64_t stepMs = 1;

    explicit VirtualStack(uint32_t frames) {
        platform::win32::set_sleep_hook([](DWORD) {});
        (void)CoInitialize(nullptr);
        root.ports().plug(platform::device::VexaModel::CantileQe);
        CLSID clsid{};
        for (const auto& driver : vexa::asio_host::ListInstalledDrivers()) {
            if (driver.name == vexa::asio::kAsioDriverName && driver.clsidValid) clsid = driver.clsid;
        }
        vexa::asio_host::HostOptions options;
        options.bufferSize = frames;
        host = std::make_unique<vexa::asio_host::AsioHost>(options);
        std::string error;
        if (host->load(clsid) != S_OK || !host->init(&error) || host->start(&error) != ASE_OK) host.reset();
        stepMs = std::max<uint64_t>(1, frames * 1000ull / 48000 / 2);
    }
    ~VirtualStack() {
        host.reset();
        CoFreeUnusedLibraries();
        CoUninitialize();
        platform::win32::set_sleep_hook(nullptr);
    }
    // The clock `ms` on, the host serving every switch before the next step (as the tests run it).
    bool run(uint64_t ms) {
        for (uint64_t done = 0; done < ms; done += stepMs) {
            root.machine().clock().run_for(platform::Milliseconds(std::min(stepMs, ms - done)));
            if (!host->catch_up(20000)) return false;
        }
        return true;
    }
};

// args: half buffer size in frames.
void BM_WholeStackPerStreamedMs(benchmark::State& state) {
    const auto frames = static_cast<uint32_t>(state.range(0));
    for (auto _ : state) {
        VirtualStack stack(frames);
        if (!stack.host) {
            state.SkipWithError("the host did not start");
            return;
        }
        stack.run(200);  // past the start and the signal's first return
        auto begin = std::chrono::steady_clock::now();
        bool kept = stack.run(kVirtualMs);
        double stackNs = std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - begin).count();
        (void)stack.host->stop();
        std::vector<vexa::asio_host::Stream> streams = stack.host->streams();
        if (!kept || streams.empty() || !streams.back().matched()) {
            state.SkipWithError("the stream did not come back bit-exact");
            return;
        }

        // The same samples copied plainly: every channel out and in, a millisecond at a time.
        const size_t perMs = size_t{48} * kQeChannels;
        std::vector<int32_t> source(perMs * 2, 1);
        std::vector<int32_t> target(perMs * 2, 0);
        auto copyBegin = std::chrono::steady_clock::now();
        for (uint64_t ms = 0; ms < kVirtualMs; ++ms) {
            source[ms % source.size()] = static_cast<int32_t>(ms);
            std::memcpy(target.data(), source.data(), source.size() * sizeof(int32_t));
            benchmark::DoNotOptimize(target.data());
            benchmark::ClobberMemory();
        }
        double copyNs =
            std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - copyBegin).count();

        state.counters["stack_ns_per_ms"] = stackNs / kVirtualMs;
        state.counters["copy_ns_per_ms"] = copyNs / kVirtualMs;
        state.counters["ratio"] = stackNs / std::max(copyNs, 1.0);
        state.counters["faster_than_real_time"] = static_cast<double>(kVirtualMs) * 1e6 / stackNs;
    }
}
BENCHMARK(BM_WholeStackPerStreamedMs)->ArgName("frames")->Arg(48)->Arg(512)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
