// vexa-machine at rest: the share of one core it uses while a Cantile-QE is
// plugged in and nothing streams, read from /proc over a few seconds of wall
// time (the real-time scheduler should sleep until the next due event).
#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

#include "machine_process.h"

namespace {

constexpr int kSeconds = 5;

void BM_MachineAtRest(benchmark::State& state) {
    for (auto _ : state) {
        vexa::test::TempDir dir;
        vexa::bench::MachineProcess machine(VEXA_MACHINE_BIN, dir);
        if (!machine.ready()) {
            state.SkipWithError("vexa-machine did not start");
            return;
        }
        long before = vexa::bench::CpuTicks(machine.pid());
        auto begin = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
        long after = vexa::bench::CpuTicks(machine.pid());
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        double cpu = vexa::bench::TicksToSeconds(after - before);
        state.counters["cpu_share_percent"] = 100.0 * cpu / wall;
        state.counters["cpu_s"] = cpu;
        state.counters["wall_s"] = wall;
    }
}
BENCHMARK(BM_MachineAtRest)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
