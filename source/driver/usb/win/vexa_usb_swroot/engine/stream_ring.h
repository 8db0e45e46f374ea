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
    // Each packet is checked once, not each frame: the frames of a settled
    // packet all lie within it.
    template <typename Fn>
    ULONG Walk(ULONG frames, Fn&& frame) {
        ULONG walked = 0;
        while (walked < frames && Settle()) {
            ULONG take = Take(frames - walked);
            LONG* samples = packet_->data + position_;
            for (ULONG f = 0; f < take; ++f, samples += stride_) frame(samples, stride_);
            Advance(take);
            walked += take;
        }
        return walked;
    }

    // Moves past up to `frames` frames without touching them; returns the frames skipped.
    ULONG Skip(ULONG frames) {
        ULONG skipped = 0;
        while (skipped < frames && Settle()) {
            ULONG take = Take(frames - skipped);
            Advance(take);
            skipped += take;
        }
        return skipped;
    }

    // Calls `run(LONG* samples, ULONG stride, ULONG count)` for each stretch
    // of the next `frames` frames that lies within one packet: `count` frames
    // of `stride` samples each. Returns the frames walked.
    template <typename Fn>
    ULONG EachRun(ULONG frames, Fn&& run) {
        ULONG walked = 0;
        while (walked < frames && Settle()) {
            ULONG take = Take(frames - walked);
            run(packet_->data + position_, stride_, take);
            Advance(take);
            walked += take;
        }
        return walked;
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
        ULONG done = 0;  // a local: the stores to `runs` could alias `*walked`
        while (done < frames && count < capacity && Settle()) {
            ULONG take = Take(frames - done);
            runs[count++] = Run{packet_->data + position_, stride_, take};
            Advance(take);
            done += take;
        }
        *walked = done;
        return count;
    }

    RingPacket* Packet() const { return packet_; }
    ULONG Position() const { return position_; }

private:
    // Of `wanted` frames, those the settled packet still holds from the position on.
    ULONG Take(ULONG wanted) const { return wanted < left_ ? wanted : left_; }
    void Advance(ULONG frames) {
        position_ += frames * stride_;
        left_ -= frames;
    }

    // Moves past spent and empty packets and sets the settled packet's stride
    // and the frames it has left; false when the ring ends or has been gone
    // round once, and from then on (a walk that asks again must not begin a
    // second circle and hand out the same frames twice). A packet shaped as
    // the one before reuses its stride, and a packet entered at its start
    // needs no alignment test, so the walk divides only where the shape
    // changes or it starts inside a packet.
    bool Settle() {
        if (left_ != 0) return true;  // only a settled packet has frames left
        if (settled_) {
            // The usual step: the next packet, shaped as the spent one, entered at its start.
            RingPacket* next = packet_->next;
            if (next != start_ && next != nullptr && next->data != nullptr && next->frames == shapeFrames_ &&
                next->samples == shapeSamples_) {
                packet_ = next;
                position_ = 0;
                left_ = shapeFrames_;
                return true;
            }
        }
        return SettleElsewhere();
    }

    // Settle's other cases, kept off the walk's loop.
    bool SettleElsewhere() {
        if (settled_) {
            settled_ = false;  // spent: on to the next packet
            if (!Next()) return End();
        } else if (ended_) {
            return false;
        }
        while (packet_ != nullptr) {
            if (SettleHere()) {
                settled_ = true;
                return true;
            }
            if (!Next()) return End();
        }
        return false;
    }

    bool End() {
        ended_ = true;
        return false;
    }

    // On to the next packet's start; false when that closes the circle.
    bool Next() {
        packet_ = packet_->next;
        position_ = 0;
        return packet_ != start_;
    }

    // Whether the packet at the cursor has a frame at the position; sets its stride and frames left.
    bool SettleHere() {
        ULONG frames = packet_->frames;
        ULONG samples = packet_->samples;
        if (packet_->data == nullptr) return false;
        if (frames != shapeFrames_ || samples != shapeSamples_) {
            // The shape of the packet before passed these tests already.
            if (frames == 0 || samples < frames) return false;
            shapeFrames_ = frames;
            shapeSamples_ = samples;
            shapeStride_ = samples / frames;
        }
        stride_ = shapeStride_;
        if (position_ == 0) {
            left_ = frames;
            return true;
        }
        // No more frames than the packet claims, none past its samples.
        if (position_ % stride_ != 0 || position_ + stride_ > frames * stride_) return false;
        left_ = frames - position_ / stride_;
        return true;
    }

    RingPacket* start_;
    RingPacket* packet_;
    ULONG position_;
    bool settled_ = false;  // the packet at the cursor has been checked
    bool ended_ = false;    // the walk has gone round the circle
    ULONG stride_ = 0;      // of the settled packet
    ULONG left_ = 0;        // frames the settled packet holds from the position on
    // The last packet shape that passed the tests, and its stride. It starts
    // as a sound shape (one frame of one sample), so a packet that matches it
    // needs no tests.
    ULONG shapeFrames_ = 1;
    ULONG shapeSamples_ = 1;
    ULONG shapeStride_ = 1;
};

// The end follows the cursor: a direction's end is left where a walk that
// started at `startPacket`/`startPosition` stopped, or at that start when the
// walk lost the ring.
inline void FollowCursor(const RingCursor& cursor, RingPacket* startPacket, ULONG startPosition,
                         RingPacket** endPacket, ULONG* endPosition) {
    *endPacket = cursor.Packet() != nullptr ? cursor.Packet() : startPacket;
    *endPosition = cursor.Packet() != nullptr ? cursor.Position() : startPosition;
}

// Adds `value` to `*sample`, clipping at the 32-bit limits: clients mix their playback in place.
inline void MixSample(LONG* sample, LONG value) {
    constexpr LONG kHighest = 0x7FFFFFFF;
    constexpr LONG kLowest = -0x7FFFFFFF - 1;
    // A sum can only pass the limit on the side of the value added (the usual case costs one add).
    LONG sum;
    if (__builtin_add_overflow(*sample, value, &sum)) sum = value < 0 ? kLowest : kHighest;
    *sample = sum;
}
