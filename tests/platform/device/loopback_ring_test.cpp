// The simulated interface's loopback route: whole packets in and out by copy,
// behind the delay of the converters and the analog loop.
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

// Primed silence comes back first, then the frames in order. Packets lent
// one after another in one buffer join into one run, copied in at once when
// it is settled; a packet elsewhere ends the run. Frame after frame of lent
// runs and pops from storage go round the storage's end many times without
// reordering, repeating or losing a frame (a wrong split there would).
TEST(LoopbackRingTest, PrimedSilenceComesFirstAndLentRunsKeepTheOrder) {
    LoopbackRing ring;
    ring.reset(2, 100000);
    ring.prime(3);
    EXPECT_EQ(ring.frames(), 3u);
    auto buffer = Frames(0, 4, 2);
    ring.lend(buffer.data(), 2);
    ring.lend(buffer.data() + 2 * 2 * 4, 2);  // where the first ends: one run
    EXPECT_EQ(ring.frames(), 7u);
    auto elsewhere = Frames(5000, 1, 2);
    ring.lend(elsewhere.data(), 1);  // not where the run ends: the run is copied in first
    EXPECT_EQ(Pop(ring, 4, 2), (std::vector<int32_t>{0, 0, 0, 0, 0, 0, 0, 1}));
    ring.settle();
    std::fill(buffer.begin(), buffer.end(), 0xEE);
    std::fill(elsewhere.begin(), elsewhere.end(), 0xEE);
    EXPECT_EQ(Pop(ring, 4, 2), (std::vector<int32_t>{100, 101, 200, 201, 300, 301, 5000, 5001}));
    EXPECT_TRUE(ring.empty());

    // A running loop behind a delay: each frame lends eight packets of one buffer and pops eight.
    constexpr size_t kDelay = 37;
    constexpr size_t kPacket = 5;
    ring.reset(2, 100000);
    ring.prime(kDelay);
    std::vector<int32_t> played;
    std::vector<int32_t> captured;
    int32_t next = 1;
    for (int frame = 0; frame < 200; ++frame) {
        std::vector<uint8_t> packets;
        for (int mf = 0; mf < 8; ++mf, next += 1000) {
            auto packet = Frames(next, kPacket, 2);
            packets.insert(packets.end(), packet.begin(), packet.end());
            for (size_t f = 0; f < kPacket; ++f) played.push_back(next + static_cast<int32_t>(f * 100));
        }
        for (int mf = 0; mf < 8; ++mf) {
            ring.lend(packets.data() + mf * kPacket * 2 * 4, kPacket);
            for (int32_t sample : Pop(ring, kPacket, 2)) captured.push_back(sample);
        }
        ring.settle();
    }
    ASSERT_EQ(captured.size(), 200u * 8 * kPacket * 2);
    for (size_t k = 0; k < captured.size() / 2; ++k) {
        int32_t expected = k < kDelay ? 0 : played[k - kDelay];
        ASSERT_EQ(captured[2 * k], expected) << "capture frame " << k;
        ASSERT_EQ(captured[2 * k + 1], expected == 0 ? 0 : expected + 1) << "capture frame " << k;
    }
    EXPECT_EQ(ring.frames(), kDelay);
}

// A selected setting of the simulated interface, at a rate set through its clock.
void SetRate(VexaInterface& device, uint32_t rate) {
    WDF_USB_CONTROL_SETUP_PACKET setup{0x21, 1, 0x0100, static_cast<USHORT>(platform::device::kInternalClockId << 8), 4};
    uint8_t data[4];
    std::memcpy(data, &rate, 4);
    ASSERT_EQ(device.clock().request(setup, data).status, STATUS_SUCCESS);
    ASSERT_EQ(device.clock().rate(), rate);
}

// A frame of the bus (eight microframes, each a playback packet then a
// capture packet) through the interface; the capture's channel 0 is
// appended to `captured`, channel 1 checked against it.
struct LoopDriver {
    LoopDriver(VexaInterface& device, size_t perPacket) : device(device), perPacket(perPacket) {}

    VexaInterface& device;
    size_t perPacket;  // playback frames a microframe
    int32_t next = 1;
    uint64_t frameNumber = 0;
    std::vector<int32_t> played;    // channel 0 of every frame played, in order
    std::vector<int32_t> captured;  // channel 0 of every frame captured, in order

    std::vector<size_t> frame() {
        constexpr unsigned kMicroframes = 8;
        const size_t outChannels = device.playback_channels();
        const size_t inChannels = device.capture_channels();
        std::vector<std::vector<uint8_t>> out(kMicroframes);
        std::vector<std::vector<int32_t>> in(kMicroframes, std::vector<int32_t>((perPacket + 4) * inChannels));
        std::vector<IsoPacket> packets;
        for (unsigned mf = 0; mf < kMicroframes; ++mf) {
            out[mf] = Frames(next, perPacket, outChannels);
            for (size_t f = 0; f < perPacket; ++f) played.push_back(next + static_cast<int32_t>(f * 100));
            next += 1000;
            packets.push_back({platform::device::kPlaybackEndpoint, mf, out[mf].data(), static_cast<ULONG>(out[mf].size())});
            packets.push_back({platform::device::kCaptureEndpoint, mf, reinterpret_cast<uint8_t*>(in[mf].data()),
                               static_cast<ULONG>(in[mf].size() * 4)});
        }
        device.iso_frame(++frameNumber, packets.data(), packets.size());
        std::vector<size_t> lengths;
        for (unsigned mf = 0; mf < kMicroframes; ++mf) {
            size_t frames = packets[2 * mf + 1].bytes / 4 / inChannels;
            lengths.push_back(frames);
            for (size_t f = 0; f < frames; ++f) {
                int32_t sample = in[mf][f * inChannels];
                EXPECT_EQ(in[mf][f * inChannels + 1], sample == 0 ? 0 : sample + 1) << "channel 1 beside channel 0";
                captured.push_back(sample);
            }
        }
        return lengths;
    }
    // Capture frames from `from` on are what was played from `playedFrom` on (silence before `silentUntil`).
    void expect_delayed(size_t from, size_t playedFrom, size_t silentUntil) {
        for (size_t k = from; k < captured.size(); ++k) {
            int32_t expected = k < silentUntil ? 0 : played.at(playedFrom + (k - silentUntil));
            ASSERT_EQ(captured[k], expected) << "capture frame " << k;
        }
    }
};

// The loop brings each frame back the band's output plus input latency later,
// the latencies the firmware declares, at every rate of both models: silence
// first, then what was played, in order. Re-selecting a setting restarts the
// route: what waited in it does not come back, and the delay is the new rate's.
TEST(VexaInterfaceLoopTest, TheLoopDelaysByTheDeclaredLatenciesAtEveryRate) {
    using platform::device::data_sheet;
    EXPECT_EQ(platform::device::round_trip_frames(data_sheet(VexaModel::CantileQe), 48000), 46u + 40u);
    EXPECT_EQ(platform::device::round_trip_frames(data_sheet(VexaModel::CantileQk), 96000), 78u + 70u);
    EXPECT_EQ(platform::device::round_trip_frames(data_sheet(VexaModel::CantileQk), 176400), 150u + 136u);
    for (VexaModel model : {VexaModel::CantileQe, VexaModel::CantileQk}) {
        for (uint32_t rate : data_sheet(model).rates) {
            SCOPED_TRACE(testing::Message() << (model == VexaModel::CantileQe ? "Cantile-QE " : "Cantile-QK ") << rate);
            const platform::device::RateBand& band = data_sheet(model).bands[rate < 50000 ? 0 : rate < 100000 ? 1 : 2];
            const size_t delay = band.outputLatency + band.inputLatency;
            VexaInterface device(model);
            SetRate(device, rate);
            ASSERT_EQ(device.set_interface(platform::device::kPlaybackInterface, 1), STATUS_SUCCESS);
            ASSERT_EQ(device.set_interface(platform::device::kCaptureInterface, 1), STATUS_SUCCESS);
            // A frame more than the rate's share a microframe: the route fills a little, it never runs dry.
            LoopDriver loop{device, rate / 8000 + 1};
            for (int f = 0; f < 40; ++f) loop.frame();
            ASSERT_GT(loop.captured.size(), delay + 100);
            loop.expect_delayed(0, 0, delay);

            // Restarted at another rate: the older frames are gone, the new delay is silence.
            uint32_t other = rate == 48000 ? 96000 : 48000;
            SetRate(device, other);
            const platform::device::RateBand& next = data_sheet(model).bands[other < 50000 ? 0 : other < 100000 ? 1 : 2];
            ASSERT_EQ(device.set_interface(platform::device::kPlaybackInterface, 1), STATUS_SUCCESS);
            size_t from = loop.captured.size();
            size_t playedFrom = loop.played.size();
            loop.perPacket = other / 8000 + 1;
            for (int f = 0; f < 40; ++f) loop.frame();
            loop.expect_delayed(from, playedFrom, from + next.outputLatency + next.inputLatency);
        }
    }
}

// The interface takes a frame of a running loop the short way while nothing
// else is asked of it; a knob set between frames (recording, empty capture
// packets, loopback off) must take effect with the very next frame's packets,
// and the counters and the looped samples must run on unbroken, at the
// route's delay, across the switches (a frame taken the short way must not
// drop, repeat or miscount).
TEST(VexaInterfaceLoopTest, KnobsSetBetweenFramesTakeEffectAtTheNextFrame) {
    VexaInterface device(VexaModel::CantileQe);
    ASSERT_EQ(device.set_interface(platform::device::kPlaybackInterface, 1), STATUS_SUCCESS);
    ASSERT_EQ(device.set_interface(platform::device::kCaptureInterface, 1), STATUS_SUCCESS);
    const size_t outChannels = device.playback_channels();
    const size_t perPacket = device.clock().rate() / 8000;
    const size_t delay = platform::device::round_trip_frames(device.sheet(), device.clock().rate());
    LoopDriver loop{device, perPacket};
    auto all = [&](const std::vector<size_t>& lengths) {
        EXPECT_EQ(lengths, std::vector<size_t>(8, perPacket));
    };
    all(loop.frame());
    device.record_playback(perPacket * 3);  // three packets' worth: the next frame records, then stops
    all(loop.frame());
    std::vector<int32_t> recorded = device.recorded_playback();
    ASSERT_EQ(recorded.size(), perPacket * 3 * outChannels);
    EXPECT_EQ(recorded.front(), 8001) << "recording starts with the frame after it was asked for";
    EXPECT_EQ(recorded[perPacket * 2 * outChannels], 10001);
    all(loop.frame());
    EXPECT_EQ(device.recorded_playback().size(), perPacket * 3 * outChannels) << "recording stopped at its limit";
    device.empty_capture_packets(1, 2);  // microframes 1 and 2 of the next frame come back empty
    EXPECT_EQ(loop.frame(), (std::vector<size_t>{perPacket, 0, 0, perPacket, perPacket, perPacket, perPacket, perPacket}));
    // An empty packet leaves its frames waiting: capture resumes with the oldest, the route two packets longer.
    all(loop.frame());
    all(loop.frame());
    loop.expect_delayed(0, 0, delay);
    size_t looped = loop.captured.size();
    device.set_loopback(false);
    all(loop.frame());
    for (size_t k = looped; k < loop.captured.size(); ++k) {
        EXPECT_EQ(loop.captured[k], 0) << "without loopback and a source capture is silence";
    }
    EXPECT_EQ(device.playback_frames(), loop.played.size());
    EXPECT_EQ(device.capture_frames(), loop.captured.size());
}

}  // namespace
