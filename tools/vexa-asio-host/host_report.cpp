#include "host_report.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <string>

namespace vexa::asio_host {
namespace {

constexpr double kMicrosPerSecond = 1e6;
constexpr uint32_t kHalvesOfMargin = 4;  // beyond the reported round trip, before a silent channel fails

double Percentile(std::vector<double>& values, double fraction) {
    if (values.empty()) return 0;
    auto at = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size()))) ;
    at = at == 0 ? 0 : std::min(at - 1, values.size() - 1);
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(at), values.end());
    return values[at];
}

std::string Name(const std::vector<std::string>& names, uint32_t channel) {
    return channel < names.size() ? "\"" + names[channel] + "\"" : "(unnamed)";
}

const char* ResultText(ASIOError result) {
    switch (result) {
        case ASE_OK: return "yes";
        case ASE_NoClock: return "no (-995)";
        case ASE_NotPresent: return "no device (-1000)";
        default: return "no";
    }
}

}  // namespace

JitterStats Jitter(const std::vector<Stream>& streams) {
    std::vector<double> deviations;
    for (const Stream& stream : streams) {
        if (stream.rate == 0) continue;
        double ideal = kMicrosPerSecond * stream.bufferSize / stream.rate;
        for (double interval : stream.intervalsUs) deviations.push_back(std::fabs(interval - ideal));
    }
    JitterStats stats;
    stats.count = deviations.size();
    if (deviations.empty()) return stats;
    stats.maxUs = *std::max_element(deviations.begin(), deviations.end());
    stats.medianUs = Percentile(deviations, 0.5);
    stats.p99Us = Percentile(deviations, 0.99);
    stats.p999Us = Percentile(deviations, 0.999);
    return stats;
}

bool LongEnough(const Stream& stream) {
    uint64_t roundTrip = static_cast<uint64_t>(std::max(0, stream.inputLatency)) +
                         static_cast<uint64_t>(std::max(0, stream.outputLatency));
    return stream.switches * stream.bufferSize > roundTrip + uint64_t{kHalvesOfMargin} * stream.bufferSize;
}

bool Stopped(const Stream& stream) { return stream.quietSeconds >= kStoppedSeconds; }

Verdict Judge(const std::vector<Stream>& streams) {
    bool checked = false;
    bool behind = false;
    bool mismatch = false;
    bool stopped = false;
    for (const Stream& stream : streams) {
        stopped = stopped || Stopped(stream);
        bool dropped = stream.missed != 0 || stream.late != 0;
        behind = behind || dropped;
        bool bad = false;
        for (const ChannelResult& channel : stream.channels) {
            bool silent = channel.latency < 0;
            if (channel.mismatches != 0 || (silent && LongEnough(stream)) ||
                (!silent && channel.latency != stream.channels.front().latency)) {
                bad = true;
            }
            checked = checked || (!silent && channel.checked != 0);
        }
        // Drop-outs leave what they spoiled unchecked; what is left must still match.
        mismatch = mismatch || (bad && !dropped);
    }
    if (mismatch) return Verdict::Mismatch;
    if (stopped) return Verdict::Stopped;
    if (behind) return Verdict::HostBehind;
    return checked ? Verdict::Matched : Verdict::NothingChecked;
}

const char* VerdictText(Verdict verdict) {
    switch (verdict) {
        case Verdict::Matched: return "every channel came back matching what went out, with no drop-out";
        case Verdict::Mismatch: return "MISMATCH: what came back is not what went out";
        case Verdict::HostBehind:
            return "the host fell behind: its buffer-switch thread missed or was late for switches (a loaded "
                   "computer, not the drivers)";
        case Verdict::NothingChecked: return "nothing was checked: no stream ran long enough for its signal to come back";
        case Verdict::Stopped:
            return "STOPPED: the buffer switches ended part-way through the run, and streaming did not start again";
        case Verdict::NoInterface: return "no interface: the run ended waiting for one to stream to";
    }
    return "";
}

void PrintDescription(FILE* out, const DriverDescription& d) {
    auto version = static_cast<uint32_t>(d.version);
    std::fprintf(out, "driver: %s, version 0x%08X\n", d.name.c_str(), version);
    std::fprintf(out, "sample rate: %.0f Hz\n", d.rate);
    std::fprintf(out, "rates:");
    for (const auto& [rate, result] : d.rates) std::fprintf(out, " %u %s;", rate, ResultText(result));
    std::fprintf(out, "\n");
    for (const ASIOClockSource& clock : d.clocks) {
        std::fprintf(out, "clock source %d: \"%.*s\"%s\n", clock.index, static_cast<int>(sizeof(clock.name)),
                     clock.name, clock.isCurrentSource != ASIOFalse ? " (current)" : "");
    }
    if (d.sizeResult == ASE_OK) {
        std::fprintf(out, "buffer sizes: minimum %d, maximum %d, preferred %d frames, granularity %d%s\n", d.minSize,
                     d.maxSize, d.preferredSize, d.granularity,
                     d.minSize == d.maxSize ? " (one fixed size: another host shares the interface)" : "");
    } else {
        std::fprintf(out, "buffer sizes: not reported (%d)\n", d.sizeResult);
    }
    std::fprintf(out, "latencies: input %d, output %d frames\n", d.inputLatency, d.outputLatency);
    std::fprintf(out, "outputs: %d\n", d.outputs);
    for (size_t c = 0; c < d.outputNames.size(); ++c) std::fprintf(out, "  %zu \"%s\"\n", c, d.outputNames[c].c_str());
    std::fprintf(out, "inputs: %d\n", d.inputs);
    for (size_t c = 0; c < d.inputNames.size(); ++c) std::fprintf(out, "  %zu \"%s\"\n", c, d.inputNames[c].c_str());
}

void PrintReport(FILE* out, const std::vector<Stream>& streams, const DriverDescription& d, Verdict verdict) {
    for (const Stream& s : streams) {
        double seconds = s.rate != 0 ? static_cast<double>(s.switches) * s.bufferSize / s.rate : 0;
        std::fprintf(out,
                     "stream %u: %u Hz, %u frames, %.1f s: %" PRIu64 " buffer switches, %" PRIu64 " missed, %" PRIu64
                     " late\n",
                     s.number, s.rate, s.bufferSize, seconds, s.switches, s.missed, s.late);
        if (Stopped(s)) {
            std::fprintf(out, "  STOPPED: no buffer switch for the last %.1f s of the %.1f s it ran\n", s.quietSeconds,
                         s.seconds);
        }
        int64_t reported = int64_t{s.inputLatency} + s.outputLatency;
        int64_t measured = s.channels.empty() ? -1 : s.channels.front().latency;
        if (measured >= 0) {
            std::fprintf(out,
                         "  latency: reported input %d + output %d = %" PRId64 " frames; measured round trip %" PRId64
                         " frames (%" PRId64 " from the reported)\n",
                         s.inputLatency, s.outputLatency, reported, measured, measured - reported);
        } else {
            std::fprintf(out, "  latency: reported input %d + output %d = %" PRId64 " frames; nothing came back%s\n",
                         s.inputLatency, s.outputLatency, reported, LongEnough(s) ? "" : " (too short to tell)");
        }
        for (const ChannelResult& c : s.channels) {
            const auto& outputNames = s.outputNames.empty() ? d.outputNames : s.outputNames;
            const auto& inputNames = s.inputNames.empty() ? d.inputNames : s.inputNames;
            std::string names = Name(outputNames, c.channel) + " -> " + Name(inputNames, c.channel);
            if (c.matched()) {
                std::fprintf(out, "  channel %u %s: matches at %" PRId64 " frames (%" PRIu64 " frames checked", c.channel,
                             names.c_str(), c.latency, c.checked);
            } else if (c.latency < 0) {
                std::fprintf(out, "  channel %u %s: %s (%" PRIu64 " frames", c.channel, names.c_str(),
                             LongEnough(s) ? "NOTHING CAME BACK" : "not back yet", c.checked);
            } else {
                std::fprintf(out,
                             "  channel %u %s: MISMATCH: %" PRIu64 " of %" PRIu64 " frames differ, the first at frame %" PRId64
                             " (latency %" PRId64,
                             c.channel, names.c_str(), c.mismatches, c.mismatches + c.checked, c.firstMismatch, c.latency);
            }
            if (c.relocks != 0) {
                std::fprintf(out, "; found again at a new latency %" PRIu64 " time(s), from %" PRId64 ", %" PRIu64
                                  " frames between",
                             c.relocks, c.firstLatency, c.resyncFrames);
            }
            std::fprintf(out, ")\n");
        }
    }
    JitterStats jitter = Jitter(streams);
    if (jitter.count != 0) {
        std::fprintf(out,
                     "buffer-switch jitter (time between switches against the ideal, %zu intervals): median %.0f us, "
                     "99th percentile %.0f us, 99.9th percentile %.0f us, most %.0f us\n",
                     jitter.count, jitter.medianUs, jitter.p99Us, jitter.p999Us, jitter.maxUs);
    }
    std::fprintf(out, "result: %s\n", VerdictText(verdict));
}

}  // namespace vexa::asio_host
