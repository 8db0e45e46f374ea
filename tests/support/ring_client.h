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

}  // namespace vexa::test
