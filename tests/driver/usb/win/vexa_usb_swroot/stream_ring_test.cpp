// The walk through a packet ring: it stays inside each packet whatever the
// packets claim, passes empty packets by, and ends after one circle.
#include <gtest/gtest.h>

#include <vector>

#include "source/driver/usb/win/vexa_usb_swroot/stream_ring.h"

namespace {

// A ring of packets with the given frames and samples each, every sample
// numbered, with a guard sample after each packet's claimed samples.
struct Ring {
    std::vector<std::vector<LONG>> data;
    std::vector<RingPacket> packets;

    explicit Ring(const std::vector<std::pair<ULONG, ULONG>>& shape) : data(shape.size()), packets(shape.size()) {
        LONG next = 1;
        for (size_t p = 0; p < shape.size(); ++p) {
            data[p].assign(shape[p].second + 1, 0);
            for (ULONG i = 0; i < shape[p].second; ++i) data[p][i] = next++;
            data[p][shape[p].second] = -1;  // guard
            packets[p] = RingPacket{data[p].data(), shape[p].first, static_cast<ULONG>(p), shape[p].second, 0,
                                    &packets[(p + 1) % shape.size()]};
        }
    }
};

std::vector<LONG> FirstSamples(RingCursor& cursor, ULONG frames) {
    std::vector<LONG> seen;
    cursor.Walk(frames, [&](LONG* samples, ULONG) { seen.push_back(samples[0]); });
    return seen;
}

// Frames continue across packets from a cursor inside one; the cursor ends where the walk stopped.
TEST(RingCursorTest, WalksAcrossPackets) {
    Ring ring({{2, 4}, {2, 4}, {2, 4}});
    RingCursor cursor(&ring.packets[0], 2);
    EXPECT_EQ(FirstSamples(cursor, 3), (std::vector<LONG>{3, 5, 7}));
    EXPECT_EQ(cursor.Packet(), &ring.packets[1]);
    EXPECT_EQ(cursor.Position(), 4u);
}

// Each packet's own stride counts; samples beyond the frames a packet claims are never handed out.
TEST(RingCursorTest, StaysInsideEachPacket) {
    Ring ring({{3, 10}, {2, 3}, {4, 8}});
    RingCursor cursor(&ring.packets[0], 0);
    std::vector<std::pair<LONG, ULONG>> seen;
    ULONG walked = cursor.Walk(100, [&](LONG* samples, ULONG stride) {
        for (ULONG c = 0; c < stride; ++c) EXPECT_NE(samples[c], -1) << "a guard sample was reached";
        seen.emplace_back(samples[0], stride);
    });
    // Packet 0: stride 3, three frames; packet 1: stride 1 (3 / 2), two frames; packet 2: stride 2, four frames.
    EXPECT_EQ(walked, 9u) << "one circle, then the walk ends";
    EXPECT_EQ(seen.front(), (std::pair<LONG, ULONG>{1, 3}));
    EXPECT_EQ(seen[3], (std::pair<LONG, ULONG>{11, 1}));
    EXPECT_EQ(seen[5], (std::pair<LONG, ULONG>{14, 2}));
}

// Empty packets, packets without data and a cursor past its packet's end are passed by.
TEST(RingCursorTest, PassesEmptyAndBrokenPackets) {
    Ring ring({{2, 4}, {0, 0}, {2, 4}, {2, 4}});
    ring.packets[2].data = nullptr;
    RingCursor past(&ring.packets[0], 40);
    EXPECT_EQ(FirstSamples(past, 2), (std::vector<LONG>{9, 11}));
    RingCursor misaligned(&ring.packets[0], 1);
    EXPECT_EQ(FirstSamples(misaligned, 1), (std::vector<LONG>{9}));
}

// A ring with nothing in it ends the walk at once; so does a broken chain.
TEST(RingCursorTest, EndsOnEmptyRingsAndBrokenChains) {
    Ring empty({{0, 0}, {0, 0}, {0, 0}});
    RingCursor cursor(&empty.packets[0], 0);
    EXPECT_EQ(cursor.Skip(1000), 0u);
    Ring chain({{2, 4}, {2, 4}});
    chain.packets[1].next = nullptr;
    RingCursor open(&chain.packets[0], 0);
    EXPECT_EQ(open.Skip(1000), 4u);
    RingCursor none(nullptr, 0);
    EXPECT_EQ(none.Skip(1), 0u);
}

// Playback is mixed in with clipping at the 32-bit limits.
TEST(RingCursorTest, MixSaturates) {
    LONG sample = 0x7FFFFFF0;
    MixSample(&sample, 0x100);
    EXPECT_EQ(sample, 0x7FFFFFFF);
    sample = -0x7FFFFFF0;
    MixSample(&sample, -0x100);
    EXPECT_EQ(sample, -0x7FFFFFFF - 1);
    sample = 5;
    MixSample(&sample, -7);
    EXPECT_EQ(sample, -2);
}

}  // namespace
