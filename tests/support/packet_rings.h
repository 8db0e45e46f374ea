// Test equipment: a capture and a playback packet ring laid out as the USB
// function driver lays them out (a circle of packets over one buffer), with
// the StreamState that points into them, for driving the root driver's period
// callback without a device. Between periods the test plays the USB driver's
// part: it writes the capture frames the next period reads, takes the
// playback frames the last one wrote, and moves the cursors to the ends.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <vector>

#include "source/driver/usb/win/vexa_usb_device/public/audio_device_interface.h"

namespace vexa::test {

class PacketRings {
public:
    explicit PacketRings(ULONG channels, ULONG framesPerPacket = 6, ULONG packets = 80) : channels_(channels) {
        for (int ring = 0; ring < 2; ++ring) {
            samples_[ring].assign(size_t{packets} * framesPerPacket * channels, 0);
            packets_[ring].resize(packets);
            for (ULONG p = 0; p < packets; ++p) {
                packets_[ring][p] = RingPacket{samples_[ring].data() + size_t{p} * framesPerPacket * channels,
                                               framesPerPacket, p / 8, framesPerPacket * channels, 0,
                                               &packets_[ring][(p + 1) % packets]};
            }
        }
        state.captureCursorPacket = state.captureEndPacket = &packets_[0][0];
        state.playbackCursorPacket = state.playbackEndPacket = &packets_[1][0];
        state.captureChannels = state.playbackChannels = channels;
        state.captureRingBytes = state.playbackRingBytes = static_cast<ULONG>(samples_[0].size() * sizeof(LONG));
    }
    PacketRings(const PacketRings&) = delete;
    PacketRings& operator=(const PacketRings&) = delete;

    // What the USB function driver does after each call: the next period starts at the ends.
    void publish() {
        state.captureCursorPacket = state.captureEndPacket;
        state.captureCursorPosition = state.captureEndPosition;
        state.playbackCursorPacket = state.playbackEndPacket;
        state.playbackCursorPosition = state.playbackEndPosition;
    }

    // Writes the next `frames` capture frames from the capture cursor: sample(frame, channel).
    void fill_capture(ULONG frames, const std::function<LONG(ULONG frame, ULONG channel)>& sample) {
        RingPacket* packet = state.captureCursorPacket;
        ULONG position = state.captureCursorPosition;
        for (ULONG f = 0; f < frames; ++f) {
            LONG* samples = step(packet, position);
            for (ULONG c = 0; c < channels_; ++c) samples[c] = sample(f, c);
        }
    }
    // Reads (and zeroes, as the USB driver does once a packet went out) the
    // `frames` playback frames from the playback cursor, interleaved.
    std::vector<LONG> take_playback(ULONG frames) {
        std::vector<LONG> taken;
        RingPacket* packet = state.playbackCursorPacket;
        ULONG position = state.playbackCursorPosition;
        for (ULONG f = 0; f < frames; ++f) {
            LONG* samples = step(packet, position);
            taken.insert(taken.end(), samples, samples + channels_);
            std::fill(samples, samples + channels_, 0);
        }
        return taken;
    }
    // Presets every playback sample of each channel (to see what clients add to it).
    void preset_playback(const std::function<LONG(ULONG channel)>& value) {
        for (size_t i = 0; i < samples_[1].size(); ++i) samples_[1][i] = value(static_cast<ULONG>(i % channels_));
    }
    // Frames between a cursor and an end, walking the ring (at most one circle).
    static ULONG distance(const RingPacket* from, ULONG fromPosition, const RingPacket* to, ULONG toPosition,
                          ULONG channels) {
        ULONG frames = 0;
        const RingPacket* packet = from;
        ULONG position = fromPosition;
        for (int hops = 0; hops < 1024; ++hops) {
            if (packet == to) return frames + (toPosition - position) / channels;
            frames += packet->frames - position / channels;
            packet = packet->next;
            position = 0;
        }
        return ~0u;
    }

    StreamState state{};

private:
    // The frame at (packet, position), moving on to the next.
    LONG* step(RingPacket*& packet, ULONG& position) {
        while (position / channels_ >= packet->frames) {
            packet = packet->next;
            position = 0;
        }
        LONG* samples = packet->data + position;
        position += channels_;
        return samples;
    }

    ULONG channels_;
    std::vector<LONG> samples_[2];
    std::vector<RingPacket> packets_[2];
};

}  // namespace vexa::test
