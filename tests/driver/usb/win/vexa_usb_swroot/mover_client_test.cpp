// The benchmarks' client that only moves samples must move exactly what a
// real client moves, or their figures measure the wrong work: every capture
// frame into its place in the planar host input, every host output frame
// added into its playback frame, across packet ends, the ring's circle and
// the host buffers' wrap, for a stereo pair and for every channel.
#include <gtest/gtest.h>

#include <vector>

#include "support/packet_rings.h"
#include "support/root_machine.h"

namespace {

using namespace vexa::test;

constexpr ULONG kChannels = 10;
constexpr uint32_t kHostFrames = 256;
constexpr ULONG kFramesPerCall = 48;
constexpr ULONG kRingFrames = 480;  // the rings' 80 packets of 6 frames
constexpr int kCalls = 25;  // 1,200 frames: past the 480-frame ring twice and the host buffers four times

LONG CaptureValue(uint64_t frame, ULONG channel) { return static_cast<LONG>(frame * 16 + channel + 1); }
int32_t OutputValue(uint32_t hostFrame, uint32_t channel) { return static_cast<int32_t>(0x10000 * (channel + 1) + hostFrame); }
LONG PresetValue(ULONG channel) { return static_cast<LONG>(channel) - 5; }

class MoverClientTest : public ::testing::TestWithParam<uint32_t> {};

TEST_P(MoverClientTest, MovesEveryFrameToItsPlace) {
    uint32_t moveChannels = GetParam();
    uint32_t movedChannels = moveChannels != 0 ? moveChannels : kChannels;
    RootMachine root(VEXA_TEST_DRIVER_DIR);
    PacketRings rings(kChannels);
    rings.preset_playback(PresetValue);
    TestClientLog log;
    log.move = true;
    log.host.moveChannels = moveChannels;
    log.host.hostFrames = kHostFrames;
    log.host.input.assign(size_t{movedChannels} * kHostFrames, 0);
    for (uint32_t c = 0; c < movedChannels; ++c) {
        for (uint32_t k = 0; k < kHostFrames; ++k) log.host.output.push_back(OutputValue(k, c));
    }
    void* client = root.add_client(&log);
    ASSERT_NE(client, nullptr);
    (void)root.start_client(client);  // no device: nothing streams, the client runs
    root.set_stream_state(&rings.state);

    uint64_t frame = 0;  // frames the client has moved
    uint64_t wrongInput = 0;
    uint64_t wrongPlayback = 0;
    for (int call = 0; call < kCalls; ++call) {
        // The manager cuts calls at the period's end and carries the rest: the
        // capture ahead of the cursor is written for more than one call.
        rings.fill_capture(2 * kFramesPerCall, [&](ULONG f, ULONG c) { return CaptureValue(frame + f, c); });
        root.period(kFramesPerCall);
        ULONG walked = PacketRings::distance(rings.state.captureCursorPacket, rings.state.captureCursorPosition,
                                            rings.state.captureEndPacket, rings.state.captureEndPosition, kChannels);
        std::vector<LONG> played = rings.take_playback(walked);
        rings.publish();
        // The host buffers are reused as the frames wrap: this call's frames are checked now.
        for (ULONG f = 0; f < walked; ++f) {
            auto hostFrame = static_cast<uint32_t>((frame + f) % kHostFrames);
            for (ULONG c = 0; c < kChannels; ++c) {
                // take_playback zeroes what it took: from the second circle on the preset is gone.
                LONG base = frame + f < kRingFrames ? PresetValue(c) : 0;
                LONG expected = c < movedChannels ? base + OutputValue(hostFrame, c) : base;
                wrongPlayback += played[size_t{f} * kChannels + c] != expected;
                if (c < movedChannels) wrongInput += log.host.input[size_t{c} * kHostFrames + hostFrame] != CaptureValue(frame + f, c);
            }
        }
        frame += walked;
        if (wrongInput + wrongPlayback != 0) {
            ADD_FAILURE() << "call " << call << ": " << wrongInput << " input and " << wrongPlayback << " playback samples wrong";
            break;
        }
    }
    EXPECT_GE(frame, uint64_t{kCalls - 1} * kFramesPerCall) << "the calls' frames were moved, less what is carried";
    root.set_stream_state(nullptr);
    root.remove_client(client);
}

INSTANTIATE_TEST_SUITE_P(Channels, MoverClientTest, ::testing::Values(2u, 0u),
                         [](const ::testing::TestParamInfo<uint32_t>& info) {
                             return info.param == 0 ? std::string("Every") : "Pair";
                         });

}  // namespace
