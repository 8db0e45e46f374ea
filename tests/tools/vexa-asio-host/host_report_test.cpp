// The host's verdict on what it saw, fed by hand: a stream whose buffer
// switches ended while the host still ran it (the machine gone, the root
// device removed without a reset asked for) is a failure of its own, never a
// pass and never a host that fell behind (which a script takes for a busy
// computer and runs again).
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/vexa-asio-host/host_report.h"

namespace {

using namespace vexa::asio_host;

// A stream of `seconds` at 48 kHz with 512-frame halves whose every channel came back matching, its last switch
// `quiet` seconds before its stop.
Stream Matched(double seconds, double quiet) {
    Stream s;
    s.number = 1;
    s.rate = 48000;
    s.bufferSize = 512;
    s.inputLatency = 600;
    s.outputLatency = 800;
    s.seconds = seconds;
    s.quietSeconds = quiet;
    s.switches = static_cast<uint64_t>((seconds - quiet) * s.rate / s.bufferSize);
    for (uint32_t c = 0; c < 2; ++c) {
        ChannelResult r;
        r.channel = c;
        r.latency = 1400;
        r.firstLatency = 1400;
        r.checked = s.switches * s.bufferSize - 1400;
        s.channels.push_back(r);
    }
    return s;
}

std::string Report(const std::vector<Stream>& streams, Verdict verdict) {
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    PrintReport(out, streams, DriverDescription{}, verdict);
    std::fclose(out);
    std::string report(text, size);
    std::free(text);
    return report;
}

TEST(HostReportTest, AStreamWhoseSwitchesEndedIsStopped) {
    EXPECT_EQ(Judge({Matched(6, 0.01)}), Verdict::Matched) << "switches to the end";
    EXPECT_EQ(Judge({Matched(6, 1.5)}), Verdict::Matched) << "a late last switch is not an end";

    // Everything that came back before the end matched: judged by the switches alone, this was a pass.
    Stream stopped = Matched(6, 4);
    EXPECT_EQ(Judge({stopped}), Verdict::Stopped);
    EXPECT_EQ(Judge({Matched(3, 0.01), stopped}), Verdict::Stopped) << "any stream of the run";
    Stream none = Matched(3, 3);
    none.switches = 0;
    none.channels.clear();
    EXPECT_EQ(Judge({none}), Verdict::Stopped) << "started, and no switch ever came";

    // Halves the host missed on its way to the end do not make it the host's fault.
    stopped.missed = 3;
    EXPECT_EQ(Judge({stopped}), Verdict::Stopped);
    Stream behind = Matched(6, 0.01);
    behind.missed = 3;
    EXPECT_EQ(Judge({behind}), Verdict::HostBehind);

    std::string report = Report({stopped}, Judge({stopped}));
    EXPECT_NE(report.find("STOPPED: no buffer switch for the last 4.0 s of the 6.0 s it ran"), std::string::npos)
        << report;
    EXPECT_NE(report.find("result: STOPPED"), std::string::npos) << report;
    EXPECT_EQ(report.find("every channel came back matching"), std::string::npos) << report;
}

}  // namespace
