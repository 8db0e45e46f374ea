// The simulated interface's loopback route: whole packets in and out by copy.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/device/loopback_ring.h"
#include "platform/device/vexa_interface.h"

namespace {

using platform::device::LoopbackRing;
using platform::device::VexaInterface;
using platform::device::VexaModel;
using IsoPacket = platform::usb::UsbDeviceModel::IsoPacket;

std::vector<uint8_t> Frames(int32_t first, size_t frames, size_t channels) {
    std::vector<int32_t> samples(frames * channels);
    for (size_t f = 0; f < frames; ++f) {
        for (size_t c = 0; c < channels; ++c) samples[f * channels + c] = first + static_cast<int32_t>(f * 100 + c);
    }
    std::vector<uint8_t> bytes(samples.size() * 4);
    std::memcpy(bytes.data(), samples.data(), bytes.size());
    return bytes;
}

std::vector<int32_t> Pop(LoopbackRing& ring, size_t frames, size_t channels) {
    std::vector<int32_t> out(frames * channels, -1);
    ring.pop(reinterpret_cast<uint8_t*>(out.data()), frames, channels);
    return out;
}

// Frames come back in order across the storage's end (a wrong split there
// would reorder or repeat a packet).
TEST(LoopbackRingTest, FramesComeBackInOrderAcrossTheWrap) {
    LoopbackRing ring;
    ring.reset(2, 5);
    auto first = Frames(0, 4, 2);
    ring.push(first.data(), 4);
    EXPECT_EQ(Pop(ring, 3, 2), (std::vector<int32_t>{0, 1, 100, 101, 200, 201}));
    auto second = Frames(1000, 3, 2);
    ring.push(second.data(), 3);  // wraps: one frame at the end, two at the start
    EXPECT_EQ(ring.frames(), 4u);
    EXPECT_EQ(Pop(ring, 4, 2), (std::vector<int32_t>{300, 301, 1000, 1001, 1100, 1101, 1200, 1201}));
}

// Past the capacity the oldest frames go, never the newest (an uncaptured loopback must not grow).
TEST(LoopbackRingTest, OverflowDropsTheOldestFrames) {
    LoopbackRing ring;
    ring.reset(1, 4);
    auto frames = Frames(0, 3, 1);
    ring.push(frames.data(), 3);
    auto more = Frames(10, 3, 1);
    ring.push(more.data(), 3);
    EXPECT_EQ(ring.frames(), 4u);
    EXPECT_EQ(Pop(ring, 4, 1), (std::vector<int32_t>{200, 10, 110, 210}));
    auto huge = Frames(0, 9, 1);
    ring.push(huge.data(), 9);  // one packet larger than the ring keeps its last frames
    EXPECT_EQ(Pop(ring, 4, 1), (std::vector<int32_t>{500, 600, 700, 800}));
}

// Frames the ring does not hold are silence, and channels beyond the
// playback's carry 0 while fewer capture channels take the first ones.
TEST(LoopbackRingTest, UnderrunAndChannelCountsAreFilled) {
    struct Case {
        size_t outChannels;
        std::vector<int32_t> expected;
    };
    const Case cases[] = {
        {3, {0, 1, 0, 100, 101, 0, 0, 0, 0}},
        {1, {0, 100, 0}},
        {2, {0, 1, 100, 101, 0, 0}},
    };
    for (const Case& c : cases) {
        LoopbackRing ring;
        ring.reset(2, 8);
        auto frames = Frames(0, 2, 2);
        ring.push(frames.data(), 2);
        EXPECT_EQ(Pop(ring, 3, c.outChannels), c.expected) << c.outChannels << " capture channels";
        EXPECT_EQ(ring.frames(), 0u);
    }
}

// Storage grows while frames wait (it is not allocated whole up front), and
// growing keeps a wrapped ring's frames in order.
TEST(LoopbackRingTest, GrowingKeepsWrappedFramesInOrder) {
    LoopbackRing ring;
    ring.reset(1, 100000);
    auto first = Frames(0, 1000, 1);
    ring.push(first.data(), 1000);
    Pop(ring, 1000, 1);
    std::vector<int32_t> expected;
    for (int32_t start : {1000000, 2000000}) {
        size_t frames = start == 1000000 ? 500 : 1000;  // the first wraps the storage, the second grows it
        auto packet = Frames(start, frames, 1);
        ring.push(packet.data(), frames);
        for (size_t f = 0; f < frames; ++f) expected.push_back(start + static_cast<int32_t>(f * 100));
    }
    EXPECT_EQ(ring.frames(), 1500u);
    EXPECT_EQ(Pop(ring, 1500, 1), expected);
}

// A lent packet comes back after the frames already stored and before
// silence; what a pop leaves of it is copied in by settle, so the caller may
// then reuse its buffer (a ring still reading it would return changed samples).
TEST(LoopbackRingTest, LentFramesFollowStoredOnesAndSurviveTheLendersBuffer) {
    LoopbackRing ring;
    ring.reset(2, 16);
    auto stored = Frames(0, 1, 2);
    ring.push(stored.data(), 1);
    auto lent = Frames(1000, 3, 2);
    ring.lend(lent.data(), 3);
    EXPECT_EQ(ring.frames(), 4u);
    EXPECT_EQ(Pop(ring, 2, 2), (std::vector<int32_t>{0, 1, 1000, 1001}));
    ring.settle();
    std::fill(lent.begin(), lent.end(), 0xEE);
    EXPECT_EQ(ring.frames(), 2u);
    EXPECT_EQ(Pop(ring, 3, 2), (std::vector<int32_t>{1100, 1101, 1200, 1201, 0, 0}));

    // Taken whole by a pop, nothing is left to copy; then a pop of fewer capture channels.
    ring.lend(lent.data(), 0);
    auto next = Frames(2000, 2, 2);
    ring.lend(next.data(), 2);
    EXPECT_EQ(Pop(ring, 2, 1), (std::vector<int32_t>{2000, 2100}));
    ring.settle();
    EXPECT_EQ(ring.frames(), 0u);
}

// A second lend (or a push) keeps the first lent packet's frames ahead of its
// own, and a lent packet that would overflow the ring drops the oldest frames
// as a push does (a borrowed packet must not bypass the capacity).
TEST(LoopbackRingTest, LendingKeepsOrderAndTheCapacity) {
    LoopbackRing ring;
    ring.reset(1, 4);
    auto a = Frames(0, 2, 1);
    auto b = Frames(10, 1, 1);
    auto c = Frames(20, 3, 1);
    ring.lend(a.data(), 2);
    ring.lend(b.data(), 1);
    ring.push(c.data(), 2);  // five frames for four places: the oldest goes
    EXPECT_EQ(ring.frames(), 4u);
    EXPECT_EQ(Pop(ring, 4, 1), (std::vector<int32_t>{100, 10, 20, 120}));
    ring.push(a.data(), 2);
    ring.lend(c.data(), 3);
    ring.settle();
    EXPECT_EQ(Pop(ring, 4, 1), (std::vector<int32_t>{100, 20, 120, 220}));
}

// The interface takes a frame of a running loop the short way while nothing
// else is asked of it; a knob set between frames (recording, empty capture
// packets, loopback off) must take effect with the very next frame's packets,
// and the counters and the looped samples must run on unbroken across the
// switches (a frame taken the short way must not drop, repeat or miscount).
TEST(VexaInterfaceLoopTest, KnobsSetBetweenFramesTakeEffectAtTheNextFrame) {
    VexaInterface device(VexaModel::CantileQe);
    ASSERT_EQ(device.set_interface(platform::device::kPlaybackInterface, 1), STATUS_SUCCESS);
    ASSERT_EQ(device.set_interface(platform::device::kCaptureInterface, 1), STATUS_SUCCESS);
    const size_t outChannels = device.playback_channels();
    const size_t inChannels = device.capture_channels();
    const size_t perPacket = device.clock().rate() / 8000;
    constexpr unsigned kMicroframes = 8;
    std::vector<std::vector<uint8_t>> out(kMicroframes);
    std::vector<std::vector<int32_t>> in(kMicroframes, std::vector<int32_t>(perPacket * inChannels + 16));
    int32_t next = 1;     // the next playback sample
    int32_t expected = 1;  // the next sample capture must carry
    uint64_t played = 0;
    uint64_t captured = 0;
    // One frame in bus order; returns the capture frames that came back.
    auto frame = [&](uint64_t number) {
        std::vector<IsoPacket> packets;
        for (unsigned mf = 0; mf < kMicroframes; ++mf) {
            out[mf] = Frames(next, perPacket, outChannels);
            next += 1000;
            packets.push_back({platform::device::kPlaybackEndpoint, mf, out[mf].data(), static_cast<ULONG>(out[mf].size())});
            packets.push_back({platform::device::kCaptureEndpoint, mf, reinterpret_cast<uint8_t*>(in[mf].data()),
                               static_cast<ULONG>(in[mf].size() * 4)});
        }
        device.iso_frame(number, packets.data(), packets.size());
        played += kMicroframes * perPacket;
        std::vector<size_t> lengths;
        for (size_t i = 1; i < packets.size(); i += 2) lengths.push_back(packets[i].bytes / 4 / inChannels);
        return lengths;
    };
    auto expect_looped = [&](const std::vector<size_t>& lengths, bool looped) {
        for (unsigned mf = 0; mf < kMicroframes; ++mf) {
            SCOPED_TRACE(testing::Message() << "microframe " << mf);
            captured += lengths[mf];
            ASSERT_EQ(lengths[mf], perPacket);
            for (size_t f = 0; f < perPacket; ++f) {
                EXPECT_EQ(in[mf][f * inChannels], looped ? expected + static_cast<int32_t>(f * 100) : 0);
                EXPECT_EQ(in[mf][f * inChannels + 1], looped ? expected + static_cast<int32_t>(f * 100 + 1) : 0);
            }
            expected += 1000;
        }
    };
    expect_looped(frame(1), true);
    device.record_playback(perPacket * 3);  // three packets' worth: the next frame records, then stops
    expect_looped(frame(2), true);
    std::vector<int32_t> recorded = device.recorded_playback();
    ASSERT_EQ(recorded.size(), perPacket * 3 * outChannels);
    EXPECT_EQ(recorded.front(), 8001) << "recording starts with the frame after it was asked for";
    EXPECT_EQ(recorded[perPacket * 2 * outChannels], 10001);
    expect_looped(frame(3), true);
    EXPECT_EQ(device.recorded_playback().size(), perPacket * 3 * outChannels) << "recording stopped at its limit";
    device.empty_capture_packets(1, 2);  // microframes 1 and 2 of the next frame come back empty
    std::vector<size_t> lengths = frame(4);
    EXPECT_EQ(lengths, (std::vector<size_t>{perPacket, 0, 0, perPacket, perPacket, perPacket, perPacket, perPacket}));
    // An empty packet leaves its frames waiting: the next packets carry the older frames first.
    for (unsigned mf = 0; mf < kMicroframes; ++mf) captured += lengths[mf];
    EXPECT_EQ(in[0][0], 24001);
    EXPECT_EQ(in[3][0], 25001) << "after two empty packets capture resumes with the oldest waiting frame";
    EXPECT_EQ(in[7][0], 29001);
    // Two packets' frames still wait: the next frame runs two packets behind, without a gap.
    std::vector<size_t> after = frame(5);
    EXPECT_EQ(in[0][0], 30001);
    EXPECT_EQ(in[2][0], 32001);
    for (size_t n : after) captured += n;
    device.set_loopback(false);
    std::vector<size_t> silent = frame(6);
    for (unsigned mf = 0; mf < kMicroframes; ++mf) {
        captured += silent[mf];
        EXPECT_EQ(in[mf][0], 0) << "without loopback and a source capture is silence";
    }
    EXPECT_EQ(device.playback_frames(), played);
    EXPECT_EQ(device.capture_frames(), captured);
}

}  // namespace
