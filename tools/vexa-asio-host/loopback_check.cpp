#include "loopback_check.h"

#include <algorithm>

namespace vexa::asio_host {
namespace {

// Samples that must match before a latency is taken: enough that no other
// latency fits them (a sine repeats its values, a ramp never does).
constexpr uint32_t kLockWindow = 32;
constexpr uint64_t kRelockSeconds = 2;
constexpr uint8_t kTagMask = 0xFF;
// Halves before an announced latency change whose mismatches it explains.
constexpr uint64_t kAnnounceHalves = 4;

uint8_t TagOf(int32_t sample) { return static_cast<uint8_t>(static_cast<uint32_t>(sample) & kTagMask); }

}  // namespace

LoopbackCheck::LoopbackCheck(const SignalSource& signal, uint32_t halfFrames, std::vector<uint32_t> channels,
                             int64_t reportedLatency)
    : signal_(signal),
      halfFrames_(halfFrames == 0 ? 1 : halfFrames),
      maxLatency_(signal.rate() - 1),  // below the sine's period of one second
      channels_(std::move(channels)),
      results_(channels_.size()),
      locked_(channels_.size(), false),
      reportedLatency_(reportedLatency),
      unreported_(channels_.size(), false),
      recentMismatches_(channels_.size()) {
    for (size_t i = 0; i < channels_.size(); ++i) results_[i].channel = channels_[i];
}

void LoopbackCheck::taint(uint64_t position) {
    // A taint older than any latency cannot matter any more.
    uint64_t horizon = position > maxLatency_ + halfFrames_ ? position - maxLatency_ - halfFrames_ : 0;
    taints_.erase(std::remove_if(taints_.begin(), taints_.end(), [&](uint64_t p) { return p < horizon; }),
                  taints_.end());
    taints_.push_back(position);
}

bool LoopbackCheck::tainted(uint64_t frame) const {
    uint64_t half = frame - frame % halfFrames_;
    return std::find(taints_.begin(), taints_.end(), half) != taints_.end();
}

void LoopbackCheck::expect_relock(uint64_t position) {
    relockUntil_ = position + kRelockSeconds * signal_.rate();
    uint64_t lookBack = kAnnounceHalves * halfFrames_;
    uint64_t from = position > lookBack ? position - lookBack : 0;
    for (size_t i = 0; i < results_.size(); ++i) {
        ChannelResult& result = results_[i];
        std::vector<uint64_t>& recent = recentMismatches_[i];
        auto forgiven = std::count_if(recent.begin(), recent.end(), [&](uint64_t frame) { return frame >= from; });
        if (forgiven == 0) continue;
        result.mismatches -= static_cast<uint64_t>(forgiven);
        result.resyncFrames += static_cast<uint64_t>(forgiven);
        if (result.firstMismatch >= static_cast<int64_t>(from)) result.firstMismatch = -1;
        recent.clear();
    }
}

void LoopbackCheck::mismatch(size_t index, uint64_t frame) {
    ChannelResult& result = results_[index];
    if (result.firstMismatch < 0) result.firstMismatch = static_cast<int64_t>(frame);
    ++result.mismatches;
    // Only the last few halves may still turn out to be an announced change.
    std::vector<uint64_t>& recent = recentMismatches_[index];
    uint64_t lookBack = kAnnounceHalves * halfFrames_;
    if (!recent.empty() && recent.front() + lookBack < frame) {
        recent.erase(recent.begin(), std::find_if(recent.begin(), recent.end(),
                                                  [&](uint64_t f) { return f + lookBack >= frame; }));
    }
    recent.push_back(frame);
}

bool LoopbackCheck::lock(size_t index, uint64_t frame, const int32_t* samples, uint32_t count) {
    ChannelResult& result = results_[index];
    int64_t latency = signal_.locate(result.channel, frame, samples, std::min(count, kLockWindow), maxLatency_);
    if (latency < 0) return false;
    if (result.firstLatency < 0) {
        result.firstLatency = latency;
    } else {
        ++result.relocks;
    }
    result.latency = latency;
    locked_[index] = true;
    unreported_[index] = reportedLatency_ >= 0 && latency != reportedLatency_;
    return true;
}

void LoopbackCheck::captured(size_t index, uint64_t position, const int32_t* samples) {
    ChannelResult& result = results_[index];
    uint32_t channel = result.channel;
    for (uint32_t k = 0; k < halfFrames_; ++k) {
        uint64_t frame = position + k;
        int32_t sample = samples[k];
        bool relocking = frame < relockUntil_;
        if (!locked_[index]) {
            bool first = result.firstLatency < 0;
            if (sample == 0 && first) {
                ++result.checked;  // silence before the signal arrives
                continue;
            }
            // With enough of the half left to lock on, a sample with the
            // channel's tag may start the signal; once locked it is compared below.
            bool own = TagOf(sample) == signal_.tag(channel);
            bool room = halfFrames_ - k >= kLockWindow;
            if (!(own && room && lock(index, frame, samples + k, halfFrames_ - k))) {
                // Before the first lock, what the host played before its last
                // restart may still come back, and the signal may start too
                // near a half's end to lock on there; after an announced
                // change anything may, until the new latency is found.
                if (!first && relocking) {
                    ++result.resyncFrames;
                } else if (!first || !((own && !room) || TagOf(sample) == signal_.previous_tag(channel))) {
                    mismatch(index, frame);
                }
                continue;
            }
        }
        auto latency = static_cast<uint64_t>(result.latency);
        int32_t expected = 0;
        if (frame >= latency) {
            uint64_t played = frame - latency;
            if (tainted(played)) continue;
            expected = signal_.sample(channel, played);
        }
        if (sample == expected) {
            // The right sample at the wrong time is still wrong.
            if (unreported_[index]) {
                mismatch(index, frame);
            } else {
                ++result.checked;
            }
            continue;
        }
        if (relocking) {
            // The announced change arrived: find the new latency.
            locked_[index] = false;
            ++result.resyncFrames;
            continue;
        }
        mismatch(index, frame);
    }
}

}  // namespace vexa::asio_host
