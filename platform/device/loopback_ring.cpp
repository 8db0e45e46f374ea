#include "loopback_ring.h"

#include <algorithm>
#include <cstring>

namespace platform::device {

namespace {
constexpr size_t kSampleBytes = sizeof(int32_t);
}  // namespace

void LoopbackRing::reset(size_t channels, size_t capacityFrames) {
    channels_ = channels;
    capacity_ = capacityFrames;
    samples_.assign(channels * capacityFrames, 0);
    head_ = 0;
    count_ = 0;
}

void LoopbackRing::push(const uint8_t* data, size_t frames) {
    if (capacity_ == 0 || channels_ == 0) return;
    if (frames > capacity_) {
        data += (frames - capacity_) * channels_ * kSampleBytes;
        frames = capacity_;
    }
    size_t overflow = count_ + frames > capacity_ ? count_ + frames - capacity_ : 0;
    head_ = (head_ + overflow) % capacity_;
    count_ -= overflow;
    size_t tail = (head_ + count_) % capacity_;
    // At most two copies: up to the end of the storage, then from its start.
    size_t first = std::min(frames, capacity_ - tail);
    std::memcpy(samples_.data() + tail * channels_, data, first * channels_ * kSampleBytes);
    if (frames > first) {
        std::memcpy(samples_.data(), data + first * channels_ * kSampleBytes, (frames - first) * channels_ * kSampleBytes);
    }
    count_ += frames;
}

void LoopbackRing::pop(uint8_t* out, size_t frames, size_t outChannels) {
    size_t taken = std::min(frames, count_);
    size_t outFrameBytes = outChannels * kSampleBytes;
    size_t carried = std::min(channels_, outChannels);
    for (size_t done = 0; done < taken;) {
        size_t run = std::min(taken - done, capacity_ - head_);
        const int32_t* from = samples_.data() + head_ * channels_;
        uint8_t* to = out + done * outFrameBytes;
        if (outChannels == channels_) {
            std::memcpy(to, from, run * outFrameBytes);
        } else {
            for (size_t f = 0; f < run; ++f) {
                std::memcpy(to + f * outFrameBytes, from + f * channels_, carried * kSampleBytes);
                std::memset(to + f * outFrameBytes + carried * kSampleBytes, 0, (outChannels - carried) * kSampleBytes);
            }
        }
        head_ = (head_ + run) % capacity_;
        count_ -= run;
        done += run;
    }
    if (frames > taken) std::memset(out + taken * outFrameBytes, 0, (frames - taken) * outFrameBytes);
}

}  // namespace platform::device
