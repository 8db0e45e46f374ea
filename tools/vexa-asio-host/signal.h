// What vexa-asio-host plays: a ramp (each frame's number) for checking, or a
// sine for listening that is checked all the same. Every sample carries a tag
// in its low byte (the channel, and the parity of the stream it belongs to),
// so a sample that comes back on the wrong channel, or late from a stream the
// host has since restarted, is never taken for a good one; the upper 24 bits
// carry the signal. Both signals are exact functions of the frame number, so
// what came back can be compared bit for bit with what went out.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vexa::asio_host {

enum class Signal { Ramp, Sine };

const char* SignalName(Signal signal);

class SignalSource {
public:
    // `rate` in Hz; `stream` counts the host's starts (its parity goes into the tag).
    SignalSource(Signal signal, uint32_t rate, uint32_t stream);

    Signal signal() const { return signal_; }
    uint32_t rate() const { return rate_; }
    // The sample `channel` plays at host frame `frame`; never 0.
    int32_t sample(uint32_t channel, uint64_t frame) const;
    // The low byte every sample of `channel` carries.
    uint8_t tag(uint32_t channel) const;
    // The same channel's tag in the host's previous stream.
    uint8_t previous_tag(uint32_t channel) const;
    // The frame whose sample `samples[0..count)` start with, for a run that
    // came back `at` host frame `at` of the capture: the latency (capture
    // frame less played frame) in [0, maxLatency], or -1 when no latency
    // makes the whole run match.
    int64_t locate(uint32_t channel, uint64_t at, const int32_t* samples, uint32_t count, uint64_t maxLatency) const;

private:
    uint32_t body(uint64_t frame) const;  // the upper 24 bits, unshifted

    Signal signal_;
    uint32_t rate_;
    uint32_t parity_;
    std::vector<int32_t> sine_;  // one period of the sine by phase (phase = frame x frequency mod rate)
    // The sine's bodies with their phases, sorted by body, and the inverse
    // of the frequency modulo the rate, which turns a phase back into a frame.
    std::vector<std::pair<uint32_t, uint32_t>> phasesByBody_;
    uint64_t inverseHz_ = 0;
};

}  // namespace vexa::asio_host
