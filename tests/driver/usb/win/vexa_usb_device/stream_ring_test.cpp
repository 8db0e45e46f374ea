// A URB's layout in the packet ring, on records built here: the playback
// layout from the rate accumulator and the capture count of what came back.
#include <gtest/gtest.h>

#include <vector>

#include "source/driver/usb/win/vexa_usb_device/stream.h"

namespace {

constexpr ULONG kPackets = kPacketsPerFrame * kFramesPerUrb;
constexpr ULONG kChannels = 10;
constexpr ULONG kBytesPerFrame = kChannels * 4;
constexpr ULONG kMaxPacket = 8 * kBytesPerFrame;

// One stream with one URB over its own slice and ring records.
struct OneUrb {
    explicit OneUrb(bool output, ULONG rate = 48000, ULONG sliceBytes = kPackets * kMaxPacket)
        : urbMemory(GET_ISO_URB_SIZE(kPackets) / sizeof(ULONG64) + 1), slice(kPackets * kMaxPacket), ring(kPackets) {
        stream.channels = kChannels;
        stream.subslotSize = 4;
        stream.bytesPerFrame = kBytesPerFrame;
        stream.isOutput = output ? 1 : 0;
        stream.maxPacketSize = kMaxPacket;
        stream.framesPerUrb = kFramesPerUrb;
        EXPECT_EQ(StreamSetRate(&stream, rate, false), STATUS_SUCCESS);
        context.urb = reinterpret_cast<PURB>(urbMemory.data());
        context.bufferSlice = slice.data();
        context.sliceBytes = sliceBytes;
        context.transferBytes = sliceBytes;
        context.packetCount = kPackets;
        context.stream = &stream;
        context.firstPacket = ring.data();
        for (ULONG k = 0; k < kPackets; ++k) {
            ring[k].next = &ring[(k + 1) % kPackets];
            ring[k].data = reinterpret_cast<LONG*>(slice.data() + k * (sliceBytes / kPackets));
            iso(k).Offset = k * (sliceBytes / kPackets);
            iso(k).Length = output ? sliceBytes / kPackets : 0;
        }
    }

    USBD_ISO_PACKET_DESCRIPTOR& iso(ULONG k) { return context.urb->UrbIsochronousTransfer.IsoPacket[k]; }

    IsoStream stream{};
    IsoUrbContext context{};
    std::vector<ULONG64> urbMemory;
    std::vector<UCHAR> slice;
    std::vector<RingPacket> ring;
};

// Lost or extra frames: at 44.1 kHz the packets carry 5 or 6 frames, and over a second of URBs
// the accumulator's carry must add up to what its increment gives, not a fraction lost per URB,
// each URB laid end to end in its slice.
TEST(StreamRingLayoutTest, PlaybackLayoutCarriesTheRateExactlyAndPacksPacketsEndToEnd) {
    OneUrb u(true, 44100);
    ULONG64 frames = 0;
    for (ULONG urb = 0; urb < 1000; ++urb) {
        RelayPlaybackUrb(&u.stream, &u.context);
        ULONG offset = 0;
        ULONG urbFrames = 0;
        for (ULONG k = 0; k < kPackets; ++k) {
            ASSERT_EQ(u.iso(k).Offset, offset) << "URB " << urb << " packet " << k;
            ASSERT_EQ(u.iso(k).Length, u.ring[k].frames * kBytesPerFrame);
            ASSERT_TRUE(u.ring[k].frames == 5 || u.ring[k].frames == 6) << u.ring[k].frames;
            ASSERT_EQ(u.ring[k].samples, u.ring[k].frames * kChannels);
            ASSERT_EQ(reinterpret_cast<UCHAR*>(u.ring[k].data), u.slice.data() + offset);
            offset += u.iso(k).Length;
            urbFrames += u.ring[k].frames;
        }
        ASSERT_EQ(u.context.transferBytes, offset);
        ASSERT_EQ(u.context.frames, urbFrames);
        frames += urbFrames;
    }
    ULONG64 carried = static_cast<ULONG64>(kPackets) * 1000 * u.stream.rateIncrement;
    EXPECT_EQ(frames, carried >> 16);
    EXPECT_EQ(u.stream.rateAccumulator, carried & 0xFFFF);
    EXPECT_NEAR(static_cast<double>(frames), 44100.0, 1.0);
}

// A whole number of frames per packet: every packet carries the same, end to end, and a
// fraction left in the accumulator (by a layout at another rate) is kept, not dropped or doubled.
TEST(StreamRingLayoutTest, PlaybackLayoutAtAWholeFrameRateKeepsTheCarriedFraction) {
    OneUrb u(true, 48000);
    for (ULONG urb = 0; urb < 3; ++urb) {
        RelayPlaybackUrb(&u.stream, &u.context);
        for (ULONG k = 0; k < kPackets; ++k) {
            ASSERT_EQ(u.ring[k].frames, 6u);
            ASSERT_EQ(u.ring[k].samples, 6 * kChannels);
            ASSERT_EQ(u.iso(k).Offset, k * 6 * kBytesPerFrame);
            ASSERT_EQ(u.iso(k).Length, 6 * kBytesPerFrame);
            ASSERT_EQ(reinterpret_cast<UCHAR*>(u.ring[k].data), u.slice.data() + k * 6 * kBytesPerFrame);
        }
        ASSERT_EQ(u.context.frames, kPackets * 6);
        ASSERT_EQ(u.context.transferBytes, kPackets * 6 * kBytesPerFrame);
        ASSERT_EQ(u.stream.rateAccumulator, 0u);
    }
    u.stream.rateAccumulator = 0x8000;  // half a frame left over
    RelayPlaybackUrb(&u.stream, &u.context);
    EXPECT_EQ(u.context.frames, kPackets * 6);
    EXPECT_EQ(u.stream.rateAccumulator, 0x8000u);
    u.stream.rateIncrement = (6u << 16) + 0x1000;  // a sixteenth more per packet: the half becomes one
    RelayPlaybackUrb(&u.stream, &u.context);
    EXPECT_EQ(u.context.frames, kPackets * 6 + 1);
    EXPECT_EQ(u.stream.rateAccumulator, 0u);
}

// A slice cut to the bone: a layout that needs exactly the slice is taken, one byte less
// keeps the previous layout whole (no packet may point past the slice) while the rate moves on.
TEST(StreamRingLayoutTest, PlaybackLayoutThatOverflowsTheSliceKeepsTheOldOne) {
    OneUrb probe(true, 44100);
    RelayPlaybackUrb(&probe.stream, &probe.context);
    ULONG needed = probe.context.transferBytes;  // what the first URB at 44.1 kHz takes
    ASSERT_LT(needed, kPackets * 6 * kBytesPerFrame) << "the worst case must exceed it for this test";

    OneUrb exact(true, 44100, needed);
    RelayPlaybackUrb(&exact.stream, &exact.context);
    EXPECT_EQ(exact.context.transferBytes, needed);
    EXPECT_EQ(exact.stream.rateAccumulator, probe.stream.rateAccumulator);
    for (ULONG k = 0; k < kPackets; ++k) EXPECT_EQ(exact.iso(k).Length, probe.iso(k).Length);

    OneUrb tight(true, 44100, needed - 1);
    std::vector<USBD_ISO_PACKET_DESCRIPTOR> before(&tight.iso(0), &tight.iso(0) + kPackets);
    std::vector<RingPacket> ringBefore = tight.ring;
    RelayPlaybackUrb(&tight.stream, &tight.context);
    EXPECT_EQ(tight.context.transferBytes, needed - 1);
    for (ULONG k = 0; k < kPackets; ++k) {
        EXPECT_EQ(tight.iso(k).Offset, before[k].Offset);
        EXPECT_EQ(tight.iso(k).Length, before[k].Length);
        EXPECT_EQ(tight.ring[k].frames, ringBefore[k].frames);
        EXPECT_EQ(tight.ring[k].data, ringBefore[k].data);
    }
    EXPECT_EQ(tight.stream.rateAccumulator, probe.stream.rateAccumulator) << "the refused URB's time still passes";
}

// Capture counts: a packet longer than the endpoint allows counts as the maximum, a partial
// frame is dropped, and from the first empty packet on nothing counts (no stale data is
// handed to the clients); the packets keep pointing at their own place in the slice.
TEST(StreamRingLayoutTest, CaptureCountStopsAtTheFirstEmptyPacket) {
    OneUrb u(false);
    std::vector<LONG*> data;
    for (const RingPacket& p : u.ring) data.push_back(p.data);
    for (RingPacket& p : u.ring) p.frames = p.samples = 99;
    const ULONG lengths[kPackets] = {6 * kBytesPerFrame, kMaxPacket + 100, 6 * kBytesPerFrame + 3, kBytesPerFrame - 1,
                                     6 * kBytesPerFrame, 6 * kBytesPerFrame, 0, 6 * kBytesPerFrame};
    for (ULONG k = 0; k < kPackets; ++k) u.iso(k).Length = lengths[k];
    RecycleUrb(&u.stream, &u.context, true);
    const ULONG expected[kPackets] = {6, 8, 6, 0, 0, 0, 0, 0};
    for (ULONG k = 0; k < kPackets; ++k) {
        EXPECT_EQ(u.ring[k].frames, expected[k]) << "packet " << k;
        EXPECT_EQ(u.ring[k].samples, expected[k] * kChannels) << "packet " << k;
        EXPECT_EQ(u.ring[k].data, data[k]);
    }
    EXPECT_EQ(u.context.frames, 20u);

    // A full URB counts every packet; one that did not transfer counts none.
    for (ULONG k = 0; k < kPackets; ++k) u.iso(k).Length = 6 * kBytesPerFrame;
    RecycleUrb(&u.stream, &u.context, true);
    EXPECT_EQ(u.context.frames, kPackets * 6);
    EXPECT_EQ(u.ring[kPackets - 1].frames, 6u);
    RecycleUrb(&u.stream, &u.context, false);
    EXPECT_EQ(u.context.frames, 0u);
    for (const RingPacket& p : u.ring) EXPECT_EQ(p.frames, 0u);
}

}  // namespace
