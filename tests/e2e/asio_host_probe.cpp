// Test equipment: the ASIO interface client as a program of its own, a process
// behind vexa-machine's socket. It streams a ramp through the ASIO interface
// for a few real seconds on a set of channels, checks what comes back and
// prints one line of figures. It exits 0 when every sample came back
// bit-exact at one latency; 3 when the host itself fell behind (a switch
// missed or served after the next one came: on a loaded machine its own
// thread did not get the processor in time), which says nothing of the
// drivers; 1 for anything else. Like an ASIO host's audio thread, it asks
// for real-time scheduling when the system grants it.
//
//   asio_host_probe --socket PATH [--32bit] [--seconds N] [--frames N] [--first C] [--count N]
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "support/asio_interface_client.h"

namespace {

using namespace vexa::asio;
using namespace vexa::test;

constexpr DWORD kSwitchWaitMs = 2000;  // far beyond any half: the stream stopped
constexpr int kExitHostBehind = 3;

struct Options {
    std::string socket = platform::win32::default_socket_path();
    bool is32Bit = false;
    unsigned seconds = 3;
    uint32_t frames = 2048;  // the longest half at every rate: the most room for a loaded machine
    uint32_t first = 0;
    uint32_t count = 0;  // 0: every channel the device has both ways
};

bool Parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--32bit") {
            options->is32Bit = true;
        } else if (arg == "--socket" && hasValue) {
            options->socket = argv[++i];
        } else if (arg == "--seconds" && hasValue) {
            options->seconds = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--frames" && hasValue) {
            options->frames = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--first" && hasValue) {
            options->first = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else if (arg == "--count" && hasValue) {
            options->count = static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            return false;
        }
    }
    return true;
}

int Fail(const char* step, const AsioAnswer& answer) {
    std::printf("asio-host-probe: %s failed (sent %d, error %u, result %d)\n", step, answer.sent ? 1 : 0,
                answer.error, answer.result);
    return 1;
}

int Run(const Options& options) {
    std::string error;
    auto process = platform::win32::connect_to_machine(options.socket, options.is32Bit, "asio-host-probe", &error);
    if (!process) {
        std::printf("asio-host-probe: no machine on %s: %s\n", options.socket.c_str(), error.c_str());
        return 2;
    }
    platform::win32::set_default_process(process);
    int code = 0;
    {
        AsioInterfaceClient host(options.is32Bit);
        if (!host.open()) {
            std::printf("asio-host-probe: no ASIO interface (error %u)\n", GetLastError());
            return 1;
        }
        AsioVersionReply version{};
        if (!host.version(&version) || version.interfaceVersion != kAsioInterfaceVersion) {
            std::printf("asio-host-probe: interface version 0x%x\n", version.interfaceVersion);
            return 1;
        }
        auto info = std::make_unique<AsioDeviceInfo>();
        if (AsioAnswer answer = host.info(info.get()); !answer.ok()) return Fail("info", answer);
        uint32_t count = options.count != 0 ? options.count : std::min(info->outputChannels, info->inputChannels);
        std::vector<uint32_t> channels;
        for (uint32_t c = options.first; c < options.first + count; ++c) channels.push_back(c);
        if (AsioAnswer answer = host.open_session(); !answer.ok()) return Fail("open", answer);
        if (options.is32Bit && host.block_address() >= (uint64_t{1} << 32)) {
            std::printf("asio-host-probe: block at 0x%" PRIx64 " out of a 32-bit host's reach\n", host.block_address());
            return 1;
        }
        if (AsioAnswer answer = host.create_buffers(options.frames, channels, channels); !answer.ok()) {
            return Fail("create buffers", answer);
        }
        AsioRampLoop loop(host, channels);
        // The thread that serves the switches, as an ASIO driver's: first in line for the processor.
        sched_param priority{};
        priority.sched_priority = sched_get_priority_min(SCHED_FIFO);
        if (pthread_setschedparam(pthread_self(), SCHED_FIFO, &priority) != 0) {
            std::printf("asio-host-probe: no real-time scheduling; serving at normal priority\n");
        }
        if (AsioAnswer answer = host.start(); !answer.ok()) return Fail("start", answer);
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(options.seconds);
        while (std::chrono::steady_clock::now() < end) {
            if (!loop.serve(kSwitchWaitMs)) {
                std::printf("asio-host-probe: no switch for %u ms\n", kSwitchWaitMs);
                code = 1;
                break;
            }
        }
        host.stop();
        host.dispose_buffers();
        host.close_session();
        host.close();
        const AsioRampLoop::Stats& stats = loop.stats();
        std::printf("asio-host-probe: frames=%" PRIu64 " switches=%" PRIu64 " latency=%" PRId64 " mismatches=%" PRIu64
                    " missed=%" PRIu64 " late=%" PRIu64 " first-mismatch=%" PRId64 "\n",
                    stats.frames, stats.switches, stats.latency, stats.mismatches, stats.missed, stats.late,
                    stats.firstMismatch);
        if (code == 0 && (stats.missed != 0 || stats.late != 0)) {
            code = kExitHostBehind;
        } else if (stats.latency < 0 || stats.mismatches != 0 || stats.frames == 0) {
            code = 1;
        }
    }
    platform::win32::set_default_process(nullptr);
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, &options)) {
        std::fprintf(stderr,
                     "usage: asio_host_probe --socket PATH [--32bit] [--seconds N] [--frames N] [--first C] "
                     "[--count N]\n");
        return 2;
    }
    int code = Run(options);
    std::fflush(stdout);
    return code;
}
