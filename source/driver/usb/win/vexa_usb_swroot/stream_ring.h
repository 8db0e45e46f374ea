// A walk through one of the USB function driver's packet rings, frame by
// frame from a cursor of its StreamState. Whatever the device reports, the
// walk stays inside the packets (a frame is only handed out when all of its
// samples lie within its packet, with the packet's own stride) and ends after
// one circle. Used at DISPATCH_LEVEL inside the period callback; allocates
// nothing.
#pragma once

#include "source/driver/usb/win/vexa_usb_device/public/audio_device_interface.h"

class RingCursor {
public:
    RingCursor(RingPacket* packet, ULONG position) : start_(packet), packet_(packet), position_(position) {}

    // Calls `frame(LONG* samples, ULONG stride)` for up to `frames` frames;
    // `stride` is the packet's samples per frame. Returns the frames walked.
    template <typename Fn>
    ULONG Walk(ULONG frames, Fn&& frame) {
        ULONG walked = 0;
        while (walked < frames && Settle()) {
            ULONG stride = packet_->samples / packet_->frames;
            frame(packet_->data + position_, stride);
            position_ += stride;
            ++walked;
        }
        return walked;
    }

    ULONG Skip(ULONG frames) {
        return Walk(frames, [](LONG*, ULONG) {});
    }

    // A stretch of frames within one packet: `frames` frames of `stride`
    // samples each, from `samples`.
    struct Run {
        LONG* samples;
        ULONG stride;
        ULONG frames;
    };
    // The stretches of the next `frames` frames, at most `capacity` of them
    // (the walk goes on from there at the next call). Returns how many were
    // written; `walked` receives the frames they hold.
    ULONG Runs(ULONG frames, Run* runs, ULONG capacity, ULONG* walked) {
        ULONG count = 0;
        *walked = 0;
        while (*walked < frames && count < capacity && Settle()) {
            ULONG stride = packet_->samples / packet_->frames;
            ULONG left = packet_->frames - position_ / stride;
            ULONG take = frames - *walked < left ? frames - *walked : left;
            runs[count++] = Run{packet_->data + position_, stride, take};
            position_ += take * stride;
            *walked += take;
        }
        return count;
    }

    RingPacket* Packet() const { return packet_; }
    ULONG Position() const { return position_; }

private:
    // Moves past spent and empty packets; false when the ring ends or has been gone round once.
    bool Settle() {
        while (packet_ != nullptr) {
            if (packet_->data != nullptr && packet_->frames != 0 && packet_->samples >= packet_->frames) {
                ULONG stride = packet_->samples / packet_->frames;
                // No more frames than the packet claims, none past its samples.
                if (position_ % stride == 0 && position_ + stride <= packet_->frames * stride) return true;
            }
            packet_ = packet_->next;
            position_ = 0;
            if (packet_ == start_) return false;
        }
        return false;
    }

    RingPacket* start_;
    RingPacket* packet_;
    ULONG position_;
};

// Adds `value` to `*sample`, clipping at the 32-bit limits: clients mix their playback in place.
inline void MixSample(LONG* sample, LONG value) {
    constexpr LONG64 kHighest = 0x7FFFFFFF;
    constexpr LONG64 kLowest = -0x7FFFFFFF - 1;
    LONG64 sum = static_cast<LONG64>(*sample) + value;
    sum = sum > kHighest ? kHighest : sum;
    sum = sum < kLowest ? kLowest : sum;
    *sample = static_cast<LONG>(sum);
}
