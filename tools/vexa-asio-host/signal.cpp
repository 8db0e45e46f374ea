#include "signal.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace vexa::asio_host {
namespace {

constexpr uint32_t kBodyMask = 0xFFFFFF;  // 24 bits above the tag
constexpr uint32_t kTagBits = 8;
// A prime frequency: its period is exactly one second of frames at every rate
// the interfaces offer, so a latency below a second is found without doubt.
constexpr uint64_t kSineHz = 997;
constexpr double kSineAmplitude = 4194304.0;  // half of the 24-bit full scale: -6 dBFS
constexpr uint32_t kChannelTags = 127;        // tags 1-127, and again with the top bit for odd streams
constexpr uint32_t kOddStreamTag = 0x80;

// x with (a * x) mod m == 1, for a and m without a common factor.
uint64_t InverseModulo(uint64_t a, uint64_t m) {
    int64_t t = 0, newT = 1;
    int64_t r = static_cast<int64_t>(m), newR = static_cast<int64_t>(a % m);
    while (newR != 0) {
        int64_t q = r / newR;
        t = std::exchange(newT, t - q * newT);
        r = std::exchange(newR, r - q * newR);
    }
    return static_cast<uint64_t>(t < 0 ? t + static_cast<int64_t>(m) : t);
}

}  // namespace

const char* SignalName(Signal signal) { return signal == Signal::Ramp ? "ramp" : "sine"; }

SignalSource::SignalSource(Signal signal, uint32_t rate, uint32_t stream)
    : signal_(signal), rate_(rate == 0 ? 1 : rate), parity_(stream & 1) {
    if (signal_ != Signal::Sine) return;
    sine_.resize(rate_);
    phasesByBody_.resize(rate_);
    constexpr double kTwoPi = 6.283185307179586476925;
    for (uint32_t phase = 0; phase < rate_; ++phase) {
        sine_[phase] = static_cast<int32_t>(std::lround(std::sin(kTwoPi * phase / rate_) * kSineAmplitude));
        phasesByBody_[phase] = {static_cast<uint32_t>(sine_[phase]) & kBodyMask, phase};
    }
    std::sort(phasesByBody_.begin(), phasesByBody_.end());
    inverseHz_ = InverseModulo(kSineHz, rate_);
}

uint8_t SignalSource::tag(uint32_t channel) const {
    return static_cast<uint8_t>(1 + channel % kChannelTags + (parity_ != 0 ? kOddStreamTag : 0));
}

uint8_t SignalSource::previous_tag(uint32_t channel) const {
    return static_cast<uint8_t>(tag(channel) ^ kOddStreamTag);
}

uint32_t SignalSource::body(uint64_t frame) const {
    if (signal_ == Signal::Ramp) return static_cast<uint32_t>(frame + 1) & kBodyMask;
    uint64_t phase = (frame % rate_) * kSineHz % rate_;
    return static_cast<uint32_t>(sine_[phase]) & kBodyMask;
}

int32_t SignalSource::sample(uint32_t channel, uint64_t frame) const {
    return static_cast<int32_t>((body(frame) << kTagBits) | tag(channel));
}

int64_t SignalSource::locate(uint32_t channel, uint64_t at, const int32_t* samples, uint32_t count,
                             uint64_t maxLatency) const {
    if (count == 0) return -1;
    auto matches = [&](uint64_t latency) {
        if (latency > at) return false;
        for (uint32_t k = 0; k < count; ++k) {
            if (samples[k] != sample(channel, at - latency + k)) return false;
        }
        return true;
    };
    if (signal_ == Signal::Ramp) {
        // The ramp names its frame (modulo 2^24, far beyond any latency).
        uint32_t played = (static_cast<uint32_t>(samples[0]) >> kTagBits) - 1;
        uint64_t latency = (at - played) & kBodyMask;
        return latency <= maxLatency && matches(latency) ? static_cast<int64_t>(latency) : -1;
    }
    // Every phase whose value the first sample has names a frame modulo one
    // period; the window tells the one that fits.
    uint32_t first = (static_cast<uint32_t>(samples[0]) >> kTagBits) & kBodyMask;
    auto range = std::equal_range(phasesByBody_.begin(), phasesByBody_.end(), std::make_pair(first, 0u),
                                  [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto it = range.first; it != range.second; ++it) {
        uint64_t played = it->second * inverseHz_ % rate_;  // the frame, modulo the period
        uint64_t latency = (at % rate_ + rate_ - played) % rate_;
        if (latency <= maxLatency && matches(latency)) return static_cast<int64_t>(latency);
    }
    return -1;
}

}  // namespace vexa::asio_host
