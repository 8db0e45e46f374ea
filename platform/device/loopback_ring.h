// The interface's loopback route: playback frames that arrive on the OUT
// stream wait here until the IN stream carries them back, behind the silence
// the route was primed with (its delay). Whole packets go in and out with
// copies; its storage grows as frames wait, and when nobody captures the
// oldest frames are dropped so it never grows past its capacity.
// A packet whose buffer outlives the next pop may be lent instead of copied:
// a pop then takes its frames straight from it, and only what the pop leaves
// is copied in (with no delay a running loop moves each sample once, not
// twice; behind one, a frame's packets go in with one copy).
// The device's lock guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace platform::device {

class LoopbackRing {
public:
    // Empties the ring; frames of `channels` samples, at most `capacityFrames` kept.
    void reset(size_t channels, size_t capacityFrames);
    size_t frames() const { return count_ + lentFrames_; }
    // Nothing waits, neither stored nor lent (inline: asked every packet of a running loop).
    bool empty() const { return count_ == 0 && lentFrames_ == 0; }

    // `frames` frames of silence wait ahead of what comes next: the delay of
    // the route. The storage is made ready for a running loop here, so that
    // one never allocates.
    void prime(size_t frames);
    // `frames` interleaved frames of the ring's channel count, as bytes off the wire.
    void push(const uint8_t* data, size_t frames);
    // As push, but the frames may stay at `data` until settle(): the caller
    // keeps them there, unchanged, until it calls settle(). A packet that
    // starts where the lent frames end joins them, so settle() copies a
    // frame's packets in at once.
    // (A running loop's packet, inline: nothing lent yet, or the lent run
    // goes on, and room for it.)
    void lend(const uint8_t* data, size_t frames) {
        if (lentFrames_ == 0 && frames != 0 && channels_ != 0 && count_ + frames <= capacity_) {
            lent_ = data;
            lentFrames_ = frames;
        } else if (lentFrames_ != 0 && data == lent_ + lentFrames_ * channels_ * sizeof(int32_t) &&
                   count_ + lentFrames_ + frames <= capacity_) {
            lentFrames_ += frames;
        } else {
            lend_slowly(data, frames);
        }
    }
    // Copies in whatever is still lent.
    void settle() {
        if (lentFrames_ != 0) settle_slowly();
    }
    // Writes `frames` frames of `outChannels` samples to `out`: channel c carries
    // the waiting frame's channel c (0 past the ring's channels), and frames
    // beyond those waiting are silence.
    // (A running loop's packet, inline, as many channels: all of it in the
    // lent packet, or, behind a delay, all of it stored in one stretch.)
    void pop(uint8_t* out, size_t frames, size_t outChannels) {
        if (count_ == 0 && frames != 0 && frames <= lentFrames_ && outChannels == channels_) {
            size_t bytes = frames * channels_ * sizeof(int32_t);
            std::memcpy(out, lent_, bytes);
            lent_ += bytes;
            lentFrames_ -= frames;
        } else if (frames != 0 && frames <= count_ && head_ + frames <= storage_ && outChannels == channels_) {
            std::memcpy(out, samples_.data() + head_ * channels_, frames * channels_ * sizeof(int32_t));
            head_ = wrap(head_ + frames);
            count_ -= frames;
        } else {
            pop_slowly(out, frames, outChannels);
        }
    }

private:
    void lend_slowly(const uint8_t* data, size_t frames);
    void settle_slowly();
    void pop_slowly(uint8_t* out, size_t frames, size_t outChannels);
    // Storage for at least `frames` frames, at most the capacity (asked every packet: the check is inline).
    void reserve(size_t frames) {
        if (frames > storage_) grow(frames);
    }
    void grow(size_t frames);
    // Room for `frames` more (at most the capacity): the oldest frames go when it is full.
    void make_room(size_t frames);
    // A frame index less than twice the storage, brought into it (no division: it runs every packet).
    size_t wrap(size_t index) const { return index >= storage_ ? index - storage_ : index; }
    // Copies `frames` frames of the ring's channels from `from` to `to` as `outChannels` channels.
    void take(const uint8_t* from, uint8_t* to, size_t frames, size_t outChannels) const;

    std::vector<int32_t> samples_;  // storage_ frames
    size_t channels_ = 0;
    size_t capacity_ = 0;  // frames
    size_t storage_ = 0;   // frames
    size_t head_ = 0;      // frame index of the oldest waiting frame
    size_t count_ = 0;     // frames waiting in the storage
    // Frames waiting in the caller's buffer, after those in the storage.
    const uint8_t* lent_ = nullptr;
    size_t lentFrames_ = 0;
};

}  // namespace platform::device
