#include "loopback_ring.h"

#include <algorithm>
#include <cstring>

namespace platform::device {

namespace {
constexpr size_t kSampleBytes = sizeof(int32_t);
// A running loop holds a packet or two: small storage stays in the first-level cache.
constexpr size_t kFirstStorageFrames = 64;
// A primed route holds its delay, a frame's packets more or less. Storage of
// several times that keeps the copies that run across its end rare, and at
// ten channels it still fits the first-level cache.
constexpr size_t kPrimedStorageFrames = 512;
}  // namespace

void LoopbackRing::reset(size_t channels, size_t capacityFrames) {
    channels_ = channels;
    capacity_ = capacityFrames;
    samples_.clear();
    samples_.shrink_to_fit();
    storage_ = 0;
    head_ = 0;
    count_ = 0;
    lent_ = nullptr;
    lentFrames_ = 0;
}

void LoopbackRing::grow(size_t frames) {
    // Grows by doubling up to the capacity, the waiting frames moved to the start.
    size_t grown = std::min(capacity_, std::max({frames, storage_ * 2, kFirstStorageFrames}));
    std::vector<int32_t> larger(grown * channels_);
    size_t first = std::min(count_, storage_ - head_);
    if (first != 0) std::memcpy(larger.data(), samples_.data() + head_ * channels_, first * channels_ * kSampleBytes);
    if (count_ > first) {
        std::memcpy(larger.data() + first * channels_, samples_.data(), (count_ - first) * channels_ * kSampleBytes);
    }
    samples_.swap(larger);
    storage_ = grown;
    head_ = 0;
}

void LoopbackRing::make_room(size_t frames) {
    reserve(std::min(capacity_, count_ + frames));
    size_t overflow = count_ + frames > storage_ ? count_ + frames - storage_ : 0;
    head_ = wrap(head_ + overflow);
    count_ -= overflow;
}

void LoopbackRing::prime(size_t frames) {
    settle();
    if (capacity_ == 0 || channels_ == 0) return;
    frames = std::min(frames, capacity_);
    // Grown now, so that a running loop never has to.
    reserve(std::min(capacity_, std::max(kPrimedStorageFrames, 4 * (count_ + frames))));
    make_room(frames);
    size_t tail = wrap(head_ + count_);
    size_t first = std::min(frames, storage_ - tail);
    std::memset(samples_.data() + tail * channels_, 0, first * channels_ * kSampleBytes);
    if (frames > first) std::memset(samples_.data(), 0, (frames - first) * channels_ * kSampleBytes);
    count_ += frames;
}

void LoopbackRing::push(const uint8_t* data, size_t frames) {
    settle();
    if (capacity_ == 0 || channels_ == 0) return;
    if (frames > capacity_) {
        data += (frames - capacity_) * channels_ * kSampleBytes;
        frames = capacity_;
    }
    make_room(frames);
    size_t tail = wrap(head_ + count_);
    // At most two copies: up to the end of the storage, then from its start.
    size_t first = std::min(frames, storage_ - tail);
    std::memcpy(samples_.data() + tail * channels_, data, first * channels_ * kSampleBytes);
    if (frames > first) {
        std::memcpy(samples_.data(), data + first * channels_ * kSampleBytes, (frames - first) * channels_ * kSampleBytes);
    }
    count_ += frames;
}

void LoopbackRing::lend_slowly(const uint8_t* data, size_t frames) {
    settle();
    // A packet that would drop frames takes the copying way, which knows the drop rule.
    if (frames == 0 || capacity_ == 0 || channels_ == 0 || count_ + frames > capacity_) {
        push(data, frames);
        return;
    }
    lent_ = data;
    lentFrames_ = frames;
}

void LoopbackRing::settle_slowly() {
    const uint8_t* data = lent_;
    size_t frames = lentFrames_;
    lent_ = nullptr;
    lentFrames_ = 0;
    push(data, frames);
}

void LoopbackRing::take(const uint8_t* from, uint8_t* to, size_t frames, size_t outChannels) const {
    size_t outFrameBytes = outChannels * kSampleBytes;
    if (outChannels == channels_) {
        std::memcpy(to, from, frames * outFrameBytes);
        return;
    }
    size_t carried = std::min(channels_, outChannels);
    for (size_t f = 0; f < frames; ++f) {
        std::memcpy(to + f * outFrameBytes, from + f * channels_ * kSampleBytes, carried * kSampleBytes);
        std::memset(to + f * outFrameBytes + carried * kSampleBytes, 0, (outChannels - carried) * kSampleBytes);
    }
}

void LoopbackRing::pop_slowly(uint8_t* out, size_t frames, size_t outChannels) {
    size_t outFrameBytes = outChannels * kSampleBytes;
    size_t done = 0;
    // The storage's frames are the oldest, then the lent packet's.
    for (size_t stored = std::min(frames, count_); done < stored;) {
        size_t run = std::min(stored - done, storage_ - head_);
        take(reinterpret_cast<const uint8_t*>(samples_.data() + head_ * channels_), out + done * outFrameBytes, run,
             outChannels);
        head_ = wrap(head_ + run);
        count_ -= run;
        done += run;
    }
    if (done < frames && lentFrames_ != 0) {
        size_t run = std::min(frames - done, lentFrames_);
        take(lent_, out + done * outFrameBytes, run, outChannels);
        lent_ += run * channels_ * kSampleBytes;
        lentFrames_ -= run;
        done += run;
    }
    if (frames > done) std::memset(out + done * outFrameBytes, 0, (frames - done) * outFrameBytes);
}

}  // namespace platform::device
