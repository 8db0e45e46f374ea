// The walk through a packet ring: it stays inside each packet whatever the
// packets claim, passes empty packets by, and ends after one circle.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "source/driver/usb/win/vexa_usb_swroot/engine/stream_ring.h"

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

// The walk as it was first written, one frame at a time with every check
// repeated per frame: the reference the packet-wise walk must match.
struct ReferenceWalk {
    RingPacket* start;
    RingPacket* packet;
    ULONG position;
    bool ended = false;

    bool Settle() {
        while (packet != nullptr && !ended) {
            if (packet->data != nullptr && packet->frames != 0 && packet->samples >= packet->frames) {
                ULONG stride = packet->samples / packet->frames;
                if (position % stride == 0 && position + stride <= packet->frames * stride) return true;
            }
            packet = packet->next;
            position = 0;
            ended = packet == start;
        }
        return false;
    }
    ULONG Walk(ULONG frames, std::vector<std::pair<LONG*, ULONG>>* seen) {
        ULONG walked = 0;
        while (walked < frames && Settle()) {
            ULONG stride = packet->samples / packet->frames;
            seen->emplace_back(packet->data + position, stride);
            position += stride;
            ++walked;
        }
        return walked;
    }
};

// Over random rings (shapes changing from packet to packet, empty and broken
// packets, cursors inside, past and misaligned in a packet) and walks cut
// into random pieces, Walk, Skip, EachRun and Runs hand out exactly the
// frames of the frame-by-frame walk and leave the cursor where it left it.
TEST(RingCursorTest, PacketWiseWalkMatchesFrameByFrame) {
    std::mt19937 random(21);
    auto pick = [&](ULONG below) { return static_cast<ULONG>(random() % below); };
    for (int round = 0; round < 400; ++round) {
        std::vector<std::pair<ULONG, ULONG>> shape;
        ULONG packets = 1 + pick(12);
        ULONG channels = 1 + pick(4);
        for (ULONG p = 0; p < packets; ++p) {
            ULONG frames = pick(5) == 0 ? 0 : 1 + pick(7);
            // Mostly whole frames of one channel count; now and then a shape of another stride or a ragged one.
            ULONG samples = frames * (pick(6) == 0 ? 1 + pick(4) : channels) + (pick(8) == 0 ? pick(3) : 0);
            shape.emplace_back(frames, samples);
        }
        Ring ring(shape);
        if (pick(6) == 0) ring.packets[pick(packets)].data = nullptr;
        ULONG first = pick(packets);
        ULONG position = pick(4) == 0 ? pick(40) : channels * pick(3);
        ReferenceWalk reference{&ring.packets[first], &ring.packets[first], position};
        RingCursor cursor(&ring.packets[first], position);
        int mode = round % 4;
        for (int piece = 0; piece < 6; ++piece) {
            ULONG frames = pick(20);
            std::vector<std::pair<LONG*, ULONG>> expected;
            ULONG referenceWalked = reference.Walk(frames, &expected);
            std::vector<std::pair<LONG*, ULONG>> seen;
            ULONG walked = 0;
            if (mode == 0) {
                walked = cursor.Walk(frames, [&](LONG* samples, ULONG stride) { seen.emplace_back(samples, stride); });
            } else if (mode == 1) {
                walked = cursor.Skip(frames);
                seen = expected;
            } else if (mode == 3) {
                walked = cursor.EachRun(frames, [&](LONG* samples, ULONG stride, ULONG count) {
                    for (ULONG f = 0; f < count; ++f) seen.emplace_back(samples + f * stride, stride);
                });
            } else {
                // One call covers the piece: more runs than a circle has packets.
                RingCursor::Run runs[16];
                ULONG count = cursor.Runs(frames, runs, 16, &walked);
                for (ULONG r = 0; r < count; ++r) {
                    for (ULONG f = 0; f < runs[r].frames; ++f) {
                        seen.emplace_back(runs[r].samples + f * runs[r].stride, runs[r].stride);
                    }
                }
            }
            ASSERT_EQ(walked, referenceWalked) << "round " << round << " piece " << piece;
            ASSERT_EQ(seen, expected) << "round " << round << " piece " << piece;
            ASSERT_EQ(cursor.Packet(), reference.packet) << "round " << round << " piece " << piece;
            ASSERT_EQ(cursor.Position(), reference.position) << "round " << round << " piece " << piece;
        }
    }
}

// A walk that went round the circle short of what it asked hands out nothing
// more when asked again: a period that walks in passes would otherwise mix
// its playback, or copy its capture, into the same frames twice.
TEST(RingCursorTest, AWalkRoundTheCircleStaysEnded) {
    Ring ring({{2, 4}, {0, 0}, {3, 6}, {0, 0}});
    RingCursor cursor(&ring.packets[2], 2);
    RingCursor::Run runs[8];
    ULONG walked = 0;
    EXPECT_EQ(cursor.Runs(48, runs, 8, &walked), 2u);
    EXPECT_EQ(walked, 4u) << "packet 2 from its second frame, then packet 0";
    EXPECT_EQ(cursor.Runs(48, runs, 8, &walked), 0u);
    EXPECT_EQ(walked, 0u);
    EXPECT_EQ(cursor.EachRun(48, [](LONG*, ULONG, ULONG) { ADD_FAILURE() << "a frame handed out twice"; }), 0u);
    EXPECT_EQ(cursor.Skip(48), 0u);
    EXPECT_EQ(cursor.Walk(48, [](LONG*, ULONG) { ADD_FAILURE() << "a frame handed out twice"; }), 0u);
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
