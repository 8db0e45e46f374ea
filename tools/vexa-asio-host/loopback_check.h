// The host's check of what came back: the simulated interface loops each
// output channel back to the input channel of the same number, so input c
// must bring back what output c played, shifted by one constant round-trip
// latency (capture frame less played frame, in host frames: the frames
// counted from the stream's start, as the buffer switches' sample positions
// count them), with nothing lost, added or changed.
//
// Before the signal first arrives a channel hears silence; the first samples
// that carry its tag fix its latency, and from then on every frame is
// compared. Halves the host itself served badly are left out, so a host
// that fell behind is told apart from a driver that lost data: what it
// played in a half it never saw or served late, and what it read late.
// After the driver announces new latencies (an operation-mode change moves
// the device's safety offset) a channel may lose its lock once and find it
// again at the new latency.
//
// The driver reports the round trip (its input plus output latency); a
// channel that comes back at any other latency is wrong however exact its
// samples, since a host places what it records by the reported latencies:
// every frame it brings back at an unreported latency counts as a mismatch.
//
// One thread calls it at a time (the host's buffer-switch thread while it
// streams; any thread once it has stopped).
#pragma once

#include <cstdint>
#include <vector>

#include "signal.h"

namespace vexa::asio_host {

struct ChannelResult {
    uint32_t channel = 0;
    int64_t latency = -1;        // frames; -1 until the signal came back
    int64_t firstLatency = -1;   // before any relock
    uint64_t checked = 0;        // frames compared after the lock (silence before the signal included)
    uint64_t mismatches = 0;     // frames that came back other than they went out
    int64_t firstMismatch = -1;  // host frame of the capture
    uint64_t relocks = 0;        // locks found again after announced latency changes
    uint64_t resyncFrames = 0;   // frames spent finding the new latency
    bool matched() const { return latency >= 0 && mismatches == 0 && checked > 0; }
};

class LoopbackCheck {
public:
    // `channels`: the channels played and captured both ways; `halfFrames`:
    // the buffer size; `reportedLatency`: the driver's round trip in frames
    // (negative: none reported, any one latency will do).
    LoopbackCheck(const SignalSource& signal, uint32_t halfFrames, std::vector<uint32_t> channels,
                  int64_t reportedLatency = -1);

    // What the output half at `position` played is not what the host meant
    // (it never saw the half, or filled it after the device had begun it):
    // its frames are not compared when they come back.
    void taint(uint64_t position);
    // The half at `position` of channel `index` (into the channel list), halfFrames samples.
    void captured(size_t index, uint64_t position, const int32_t* samples);
    // The driver announced new latencies while the host was at `position`:
    // for two seconds a channel that stops matching looks for its new latency.
    // The change reaches the device before the message reaches the host, so
    // what went wrong in the few halves before `position` was the change too.
    void expect_relock(uint64_t position);
    // The driver reports a new round trip: latencies found from now on must be it.
    void report_latency(int64_t frames) { reportedLatency_ = frames; }

    const std::vector<uint32_t>& channels() const { return channels_; }
    std::vector<ChannelResult> results() const { return results_; }

private:
    bool tainted(uint64_t frame) const;
    bool lock(size_t index, uint64_t frame, const int32_t* samples, uint32_t count);
    void mismatch(size_t index, uint64_t frame);

    const SignalSource& signal_;
    uint32_t halfFrames_;
    uint64_t maxLatency_;
    std::vector<uint32_t> channels_;
    std::vector<ChannelResult> results_;
    std::vector<bool> locked_;
    int64_t reportedLatency_;
    std::vector<bool> unreported_;  // per channel: locked at a latency the driver did not report
    std::vector<uint64_t> taints_;  // output half positions, oldest first
    std::vector<std::vector<uint64_t>> recentMismatches_;  // per channel: capture frames within the look-back
    uint64_t relockUntil_ = 0;      // host frame up to which an announced change may show
};

}  // namespace vexa::asio_host
