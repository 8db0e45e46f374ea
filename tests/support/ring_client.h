// A client of the streams as the root driver's clients are: inside each
// period callback it reads the new capture frames and writes (adds) its
// playback frames in place, walking the packet rings through StreamState.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "source/driver/usb/win/vexa_usb_device/public/audio_device_interface.h"

namespace vexa::test {

// Walks `frames` frames from (packet, position), calling `frame` with the
// samples of each; returns where the walk ended. Empty packets are passed by,
// at most one circle.
inline void WalkRing(RingPacket*& packet, ULONG& position, ULONG channels, ULONG frames,
                     const std::function<void(LONG* samples)>& frame) {
    for (ULONG done = 0; done < frames; ++done) {
        for (int hops = 0; packet != nullptr && position / channels >= packet->frames && hops < 1024; ++hops) {
            packet = packet->next;
            position = 0;
        }
        if (packet == nullptr || position / channels >= packet->frames) return;
        frame(packet->data + position);
        position += channels;
    }
}

class RingClient {
public:
    // `produce` gives the playback sample of frame n, channel c; captured frames are kept.
    RingClient(StreamState* state, std::function<LONG(uint64_t frame, ULONG channel)> produce)
        : state_(state), produce_(std::move(produce)) {}

    void on_period(ULONG frames) {
        ++periods_;
        StreamState& s = *state_;
        RingPacket* capture = s.captureCursorPacket;
        ULONG capturePosition = s.captureCursorPosition;
        if (capture != nullptr && s.captureChannels != 0) {
            WalkRing(capture, capturePosition, s.captureChannels, frames, [&](LONG* samples) {
                captured_.insert(captured_.end(), samples, samples + s.captureChannels);
            });
            s.captureEndPacket = capture;
            s.captureEndPosition = capturePosition;
        }
        RingPacket* playback = s.playbackCursorPacket;
        ULONG playbackPosition = s.playbackCursorPosition;
        if (playback != nullptr && s.playbackChannels != 0) {
            WalkRing(playback, playbackPosition, s.playbackChannels, frames, [&](LONG* samples) {
                for (ULONG c = 0; c < s.playbackChannels; ++c) samples[c] += produce_(produced_, c);
                ++produced_;
            });
            s.playbackEndPacket = playback;
            s.playbackEndPosition = playbackPosition;
        }
    }

    const std::vector<LONG>& captured() const { return captured_; }
    uint64_t produced() const { return produced_; }
    uint64_t periods() const { return periods_; }

private:
    StreamState* state_;
    std::function<LONG(uint64_t, ULONG)> produce_;
    std::vector<LONG> captured_;
    uint64_t produced_ = 0;
    uint64_t periods_ = 0;
};

// A client that moves only what a real client moves: each period it copies
// the new capture frames into planar host buffers and adds planar host output
// into the playback packets, packet by packet, with no per-sample callback
// and no allocation. What it moved is checked after the fact.
class HostBufferClient {
public:
    HostBufferClient(StreamState* state, ULONG channels, ULONG hostFrames)
        : state_(state), channels_(channels), hostFrames_(hostFrames),
          input_(size_t{channels} * hostFrames), output_(size_t{channels} * hostFrames, 1) {}

    void on_period(ULONG frames) {
        ++periods_;
        StreamState& s = *state_;
        walk(s.captureCursorPacket, s.captureCursorPosition, s.captureChannels, frames, &inputPosition_, true,
             &s.captureEndPacket, &s.captureEndPosition);
        walk(s.playbackCursorPacket, s.playbackCursorPosition, s.playbackChannels, frames, &outputPosition_, false,
             &s.playbackEndPacket, &s.playbackEndPosition);
    }

    // Channel c's host input frame k.
    int32_t input(ULONG channel, ULONG frame) const { return input_[size_t{channel} * hostFrames_ + frame]; }
    uint64_t moved() const { return moved_; }
    uint64_t periods() const { return periods_; }

private:
    void walk(RingPacket* packet, ULONG position, ULONG streamChannels, ULONG frames, ULONG* hostPosition,
              bool capture, RingPacket** endPacket, ULONG* endPosition) {
        if (packet == nullptr || streamChannels == 0) return;
        ULONG channels = channels_ < streamChannels ? channels_ : streamChannels;
        ULONG done = 0;
        for (int hops = 0; done < frames && hops < kMaxHops; ++hops) {
            ULONG frame = position / streamChannels;
            ULONG run = packet->frames > frame ? packet->frames - frame : 0;
            if (run > frames - done) run = frames - done;
            LONG* samples = packet->data + position;
            for (ULONG f = 0; f < run; ++f, samples += streamChannels) {
                size_t at = *hostPosition;
                for (ULONG c = 0; c < channels; ++c) {
                    if (capture) {
                        input_[c * size_t{hostFrames_} + at] = samples[c];
                    } else {
                        samples[c] += output_[c * size_t{hostFrames_} + at];
                    }
                }
                if (++*hostPosition == hostFrames_) *hostPosition = 0;
            }
            done += run;
            position += run * streamChannels;
            if (done < frames) {
                packet = packet->next;
                position = 0;
            }
        }
        moved_ += done;
        *endPacket = packet;
        *endPosition = position;
    }

    static constexpr int kMaxHops = 1024;  // at most one circle of packets
    StreamState* state_;
    ULONG channels_;
    ULONG hostFrames_;
    std::vector<int32_t> input_;
    std::vector<int32_t> output_;
    ULONG inputPosition_ = 0;
    ULONG outputPosition_ = 0;
    uint64_t moved_ = 0;
    uint64_t periods_ = 0;
};

}  // namespace vexa::test
