// vexa-machine at rest: the share of one core it uses while a Cantile-QE is
// plugged in and nothing streams, read from /proc over a few seconds of wall
// time (the real-time scheduler should sleep until the next due event).
#include <benchmark/benchmark.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support/temp_dir.h"

namespace {

constexpr int kSeconds = 5;

// User and system CPU time of a process, in clock ticks.
long CpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    // Fields after the command name (which may hold spaces) start after the last ')'.
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    long user = 0;
    long system = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) user = std::stol(field);
        if (index == 15) {
            system = std::stol(field);
            break;
        }
    }
    return user + system;
}

void BM_MachineAtRest(benchmark::State& state) {
    for (auto _ : state) {
        vexa::test::TempDir dir;
        std::string stateDir = (dir.path() / "state").string();
        std::string socket = (dir.path() / "machine.sock").string();
        int out[2];
        if (pipe(out) != 0) {
            state.SkipWithError("pipe");
            return;
        }
        pid_t pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            execl(VEXA_MACHINE_BIN, VEXA_MACHINE_BIN, "--state", stateDir.c_str(), "--socket", socket.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out[1]);
        // Ready once it says so (its standard input stays open: the pipe's read end is ours).
        FILE* lines = fdopen(out[0], "r");
        char line[512];
        bool ready = false;
        while (!ready && std::fgets(line, sizeof(line), lines) != nullptr) ready = std::strstr(line, "ready on") != nullptr;
        if (!ready) {
            state.SkipWithError("vexa-machine did not start");
            return;
        }
        long before = CpuTicks(pid);
        auto begin = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
        long after = CpuTicks(pid);
        double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        kill(pid, SIGINT);
        waitpid(pid, nullptr, 0);
        std::fclose(lines);
        double cpu = static_cast<double>(after - before) / static_cast<double>(sysconf(_SC_CLK_TCK));
        state.counters["cpu_share_percent"] = 100.0 * cpu / wall;
        state.counters["cpu_s"] = cpu;
        state.counters["wall_s"] = wall;
    }
}
BENCHMARK(BM_MachineAtRest)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
