// vexa-asio-host: a test ASIO host (test equipment, like the simulated
// interface) that shows the whole stack at work on a running vexa-machine:
// it finds the ASIO drivers installed under HKLM\SOFTWARE\ASIO, creates ours
// by its class id through COM, inits it and prints what it reports, creates
// buffers for the channels asked (all by default), plays a ramp or a sine
// out and records the inputs for the time asked, handling the driver's reset
// requests on the way (a rate or buffer-size change, the interface pulled
// out and plugged in again, the root device removed and added back), and
// reports per channel whether what came back matched what went out, the
// round-trip latency measured against the one the driver reports, the buffer
// switches, drop-outs and their jitter.
//
// Exit status (also in --help and the README): 0 every channel came back
// matching with no drop-out; 1 a mismatch or a failure while streaming; 2 a
// bad option; 3 the host itself fell behind (its buffer-switch thread missed
// switches: a loaded computer, not the drivers); 4 no machine; 5 no ASIO
// driver registered; 6 no interface (the driver did not start, or the
// interface went during the run, pulled out or with the root device, and did
// not come back); 7 the stream stopped (its buffer switches ended part-way
// through the run with no reset asked for, or it could not be started again
// after one for another reason: the machine was killed, say).
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "asio_driver_list.h"
#include "asio_host.h"
#include "host_report.h"
#include "platform/win32/avrt.h"
#include "platform/win32/user_process.h"

namespace {

using namespace vexa::asio_host;
using Clock = std::chrono::steady_clock;

enum Exit {
    kOk = 0,
    kFailed = 1,
    kUsage = 2,
    kHostBehind = 3,
    kNoMachine = 4,
    kNoDriver = 5,
    kNoDevice = 6,
    kStopped = 7,
};

constexpr uint32_t kDefaultBufferSize = 512;  // a half of ~10 ms at 48 kHz rides out a busy computer's hiccups
constexpr double kDefaultSeconds = 3;
constexpr uint32_t kAttentionMs = 50;
constexpr uint32_t kRetryMs = 250;  // between attempts to start again while no interface is there
constexpr uint32_t kProgressMs = 1000;

struct Options {
    std::string socket = platform::win32::default_socket_path();
    std::string driver = vexa::asio::kAsioDriverName;
    HostOptions host;
    double seconds = kDefaultSeconds;
    bool infoOnly = false;
    bool realTime = true;
    bool help = false;
};

void PrintUsage(FILE* out) {
    std::fprintf(out,
                 "usage: vexa-asio-host [--socket PATH] [--driver NAME] [--rate HZ] [--buffer-size FRAMES]\n"
                 "                      [--channels all|N,M,A-B] [--seconds S] [--signal ramp|sine]\n"
                 "                      [--time-info on|off] [--no-latency-messages] [--no-real-time] [--info]\n"
                 "exit status:\n"
                 "  0  every channel came back matching what went out, with no drop-out\n"
                 "  1  a mismatch, or a failure while streaming\n"
                 "  2  a bad option\n"
                 "  3  the host fell behind: its buffer-switch thread missed switches (a busy computer, not the drivers)\n"
                 "  4  no machine is running\n"
                 "  5  no ASIO driver of that name is registered\n"
                 "  6  no interface: the driver did not start, or the interface went (pulled out, or the root\n"
                 "     device removed) and did not come back before the end of the run\n"
                 "  7  the stream stopped: its buffer switches ended part-way through the run with no reset asked\n"
                 "     for, or it could not be started again after one (the machine was killed, say)\n");
}

int Usage() {
    PrintUsage(stderr);
    return kUsage;
}

bool ParseNumber(const char* text, uint32_t* value) {
    char* end = nullptr;
    unsigned long parsed = std::strtoul(text, &end, 10);
    if (end == text || *end != 0 || parsed > UINT32_MAX) return false;
    *value = static_cast<uint32_t>(parsed);
    return true;
}

// "all", or numbers and ranges: "0,1", "0-3,8".
bool ParseChannels(const std::string& text, std::vector<uint32_t>* channels) {
    channels->clear();
    if (text == "all") return true;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string part = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        size_t dash = part.find('-');
        uint32_t first = 0;
        uint32_t last = 0;
        if (dash == std::string::npos) {
            if (!ParseNumber(part.c_str(), &first)) return false;
            last = first;
        } else if (!ParseNumber(part.substr(0, dash).c_str(), &first) ||
                   !ParseNumber(part.substr(dash + 1).c_str(), &last) || last < first) {
            return false;
        }
        for (uint32_t c = first; c <= last; ++c) channels->push_back(c);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return !channels->empty();
}

bool Parse(int argc, char** argv, Options* o) {
    o->host.bufferSize = kDefaultBufferSize;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        auto next = [&] { return value != nullptr && (++i, true); };
        if (arg == "--help" || arg == "-h") {
            o->help = true;
        } else if (arg == "--info") {
            o->infoOnly = true;
        } else if (arg == "--no-latency-messages") {
            o->host.latencyMessages = false;
        } else if (arg == "--no-real-time") {
            o->realTime = false;
        } else if (arg == "--socket" && next()) {
            o->socket = value;
        } else if (arg == "--driver" && next()) {
            o->driver = value;
        } else if (arg == "--rate" && next()) {
            if (!ParseNumber(value, &o->host.rate)) return false;
        } else if (arg == "--buffer-size" && next()) {
            if (!ParseNumber(value, &o->host.bufferSize)) return false;
        } else if (arg == "--channels" && next()) {
            if (!ParseChannels(value, &o->host.channels)) return false;
        } else if (arg == "--seconds" && next()) {
            char* end = nullptr;
            o->seconds = std::strtod(value, &end);
            if (end == value || *end != 0 || !(o->seconds > 0)) return false;
        } else if (arg == "--signal" && next()) {
            std::string signal = value;
            if (signal != "ramp" && signal != "sine") return false;
            o->host.signal = signal == "ramp" ? Signal::Ramp : Signal::Sine;
        } else if (arg == "--time-info" && next()) {
            std::string mode = value;
            if (mode != "on" && mode != "off") return false;
            o->host.timeInfo = mode == "on";
        } else {
            return false;
        }
    }
    return true;
}

void Say(const char* format, const std::string& text) {
    std::printf(format, text.c_str());
    std::printf("\n");
    std::fflush(stdout);
}

// Events so far, stamped with the time since the start.
void ShowEvents(AsioHost& host, Clock::time_point begin) {
    for (const HostEvent& event : host.take_events()) {
        double at = std::chrono::duration<double>(event.when - begin).count();
        std::printf("[%6.2f s] %s\n", at, event.text.c_str());
    }
    std::fflush(stdout);
}

void ShowStreaming(AsioHost& host, Clock::time_point begin, const char* how) {
    std::vector<Stream> streams = host.streams();
    if (streams.empty()) return;
    const Stream& s = streams.back();
    double at = std::chrono::duration<double>(Clock::now() - begin).count();
    std::printf("[%6.2f s] %s: %u Hz, %u frames a half, %zu channels checked, latencies input %d output %d frames\n",
                at, how, s.rate, s.bufferSize, s.channels.size(), s.inputLatency, s.outputLatency);
    std::fflush(stdout);
}

// Whether the driver's buffer-switch thread got the real-time class it asked for.
void ShowScheduling() {
    for (const auto& call : platform::win32::avrt::calls()) {
        if (call.entry != "AvSetMmThreadCharacteristicsA" || call.task != "Pro Audio") continue;
        std::printf("buffer-switch thread: \"Pro Audio\" %s\n",
                    call.realTime ? "in real-time scheduling" : "at normal scheduling (real time not granted)");
    }
    std::fflush(stdout);
}

int ExitCode(Verdict verdict) {
    switch (verdict) {
        case Verdict::Matched: return kOk;
        case Verdict::HostBehind: return kHostBehind;
        case Verdict::NoInterface: return kNoDevice;
        case Verdict::Stopped: return kStopped;
        case Verdict::Mismatch:
        case Verdict::NothingChecked: return kFailed;
    }
    return kFailed;
}

int StreamFor(AsioHost& host, const Options& o, const DriverDescription& description) {
    auto begin = Clock::now();
    std::string error;
    ASIOError started = host.start(&error);
    if (started != ASE_OK) {
        Say("vexa-asio-host: the driver did not start streaming: %s", error);
        return started == ASE_NotPresent ? kNoDevice : kFailed;
    }
    ShowStreaming(host, begin, "streaming");
    ShowScheduling();
    auto end = begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
    bool streaming = true;
    AsioHost::Recovery recovery = AsioHost::Recovery::Streaming;
    auto nextTry = Clock::now();
    auto nextProgress = Clock::now() + std::chrono::milliseconds(kProgressMs);
    std::string lastError;
    while (Clock::now() < end) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        host.wait_for_attention(static_cast<uint32_t>(std::clamp<int64_t>(left, 1, kAttentionMs)));
        ShowEvents(host, begin);
        bool reset = host.reset_pending();
        if (reset || (!streaming && Clock::now() >= nextTry)) {
            if (reset) std::printf("[%6.2f s] resetting: stop, dispose, release, then create, init and start again\n",
                                   std::chrono::duration<double>(Clock::now() - begin).count());
            recovery = host.recover(&error);
            ShowEvents(host, begin);
            streaming = recovery == AsioHost::Recovery::Streaming;
            if (streaming) {
                ShowStreaming(host, begin, "streaming again");
                lastError.clear();
                // The count goes on from here, not in a burst for the seconds spent without a stream.
                nextProgress = Clock::now() + std::chrono::milliseconds(kProgressMs);
            } else if (error != lastError) {
                double at = std::chrono::duration<double>(Clock::now() - begin).count();
                std::printf("[%6.2f s] not streaming: %s; trying again every %u ms\n", at, error.c_str(), kRetryMs);
                lastError = error;
            }
            nextTry = Clock::now() + std::chrono::milliseconds(kRetryMs);
        }
        if (streaming && Clock::now() >= nextProgress) {
            uint64_t switches = 0;
            for (const Stream& s : host.streams()) switches += s.switches;
            double at = std::chrono::duration<double>(Clock::now() - begin).count();
            std::printf("[%6.2f s] %" PRIu64 " buffer switches\n", at, switches);
            std::fflush(stdout);
            nextProgress += std::chrono::milliseconds(kProgressMs);
        }
    }
    host.stop();
    ShowEvents(host, begin);
    std::vector<Stream> streams = host.streams();
    host.release();
    // Not streaming at the end: the last start after a reset failed, for want
    // of an interface or otherwise; what streamed before is no longer the point.
    Verdict verdict = streaming                                        ? Judge(streams)
                      : recovery == AsioHost::Recovery::NoDevice ? Verdict::NoInterface
                                                                       : Verdict::Stopped;
    std::printf("== report ==\n");
    PrintReport(stdout, streams, description, verdict);
    std::fflush(stdout);
    if (!streaming) {
        Say(recovery == AsioHost::Recovery::NoDevice
                ? "vexa-asio-host: the run ended without an interface to stream to: %s"
                : "vexa-asio-host: the stream stopped and could not be started again: %s",
            lastError);
    }
    return ExitCode(verdict);
}

int Run(const Options& o) {
    std::string error;
    auto process = platform::win32::connect_to_machine(o.socket, false, "vexa-asio-host", &error);
    if (!process) {
        std::fprintf(stderr, "vexa-asio-host: no machine is running at %s (%s); start one with vexa-machine\n",
                     o.socket.c_str(), error.c_str());
        return kNoMachine;
    }
    platform::win32::set_default_process(process);
    if (o.realTime) platform::win32::avrt::set_real_time_scheduling(true);
    CoInitialize(nullptr);
    int code = kOk;
    {
        std::vector<InstalledDriver> drivers = ListInstalledDrivers();
        std::printf("ASIO drivers installed: %zu\n", drivers.size());
        const InstalledDriver* chosen = nullptr;
        for (const InstalledDriver& d : drivers) {
            std::printf("  \"%s\" %s\n", d.name.c_str(), d.clsidText.c_str());
            if (chosen == nullptr && d.name == o.driver) chosen = &d;
        }
        std::fflush(stdout);
        if (chosen == nullptr || !chosen->clsidValid) {
            std::fprintf(stderr, "vexa-asio-host: no ASIO driver named \"%s\" is registered on the machine%s\n",
                         o.driver.c_str(), drivers.empty() ? " (HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO lists none)" : "");
            code = kNoDriver;
        } else {
            AsioHost host(o.host);
            if (HRESULT created = host.load(chosen->clsid); FAILED(created)) {
                std::fprintf(stderr, "vexa-asio-host: creating \"%s\" by its class id failed (0x%08X)\n",
                             chosen->name.c_str(), static_cast<unsigned>(created));
                code = kNoDriver;
            } else if (!host.init(&error)) {
                std::fprintf(stderr,
                             "vexa-asio-host: the driver did not start: %s\n"
                             "vexa-asio-host: is an interface plugged in? (\"plug cantile-qe\" on vexa-machine's input)\n",
                             error.c_str());
                code = kNoDevice;
            } else {
                DriverDescription description = host.describe();
                PrintDescription(stdout, description);
                std::fflush(stdout);
                if (!o.infoOnly) code = StreamFor(host, o, description);
            }
        }
    }
    CoFreeUnusedLibraries();
    CoUninitialize();
    platform::win32::set_default_process(nullptr);
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, &options)) return Usage();
    if (options.help) {
        PrintUsage(stdout);
        return kOk;
    }
    int code = Run(options);
    std::fflush(stdout);
    return code;
}
