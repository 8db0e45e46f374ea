#include <gtest/gtest.h>

#include "platform/kernel/fault.h"
#include "source/driver/usb/win/kernel_common/messages.h"
#include "support/stream_fixture.h"

namespace {

using platform::Milliseconds;
using platform::Seconds;
using platform::device::VexaModel;
using platform::device::VexaVariant;
using vexa::test::RampSample;
using vexa::test::RingClient;

class StreamingTest : public vexa::test::StreamTest {};

// Frames per URB of the playback layout at every rate: the 16.16 accumulator spreads fractional rates evenly,
// and over a second the device receives the rate's frames.
TEST_F(StreamingTest, PlaybackFramesPerPacketAndUrbAtEveryRate) {
    struct Rate {
        ULONG rate;
        ULONG perUrb;           // frames in most URBs
        ULONG packetLow;        // frames in most packets
    };
    for (Rate r : {Rate{44100, 44, 5}, Rate{48000, 48, 6}, Rate{88200, 88, 11}, Rate{96000, 96, 12},
                   Rate{176400, 176, 22}, Rate{192000, 192, 24}}) {
        plug_vexa();
        StreamState* state = prepare(r.rate);
        ASSERT_NE(state, nullptr);
        RingPacket* packet = state->playbackCursorPacket;
        for (int urb = 0; urb < 10; ++urb) {
            ULONG frames = 0;
            for (int k = 0; k < 8; ++k, packet = packet->next) {
                EXPECT_EQ(packet->urbIndex, static_cast<ULONG>(urb));
                EXPECT_EQ(packet->samples, packet->frames * device_->playback_channels());
                EXPECT_TRUE(packet->frames == r.packetLow || packet->frames == r.packetLow + 1) << r.rate;
                frames += packet->frames;
            }
            EXPECT_TRUE(frames == r.perUrb || frames == r.perUrb + 1) << r.rate << ": " << frames;
        }
        EXPECT_EQ(packet, state->playbackCursorPacket) << "the packets close a circle of eighty";

        root_.on_period = [&](ULONG64, ULONG) {};
        ASSERT_EQ(start(), kUsbResultOk);
        machine_.clock().run_for(Milliseconds(20));  // past the ten frames the schedule starts ahead
        uint64_t before = device_->playback_frames();
        machine_.clock().run_for(Seconds(1));
        uint64_t received = device_->playback_frames() - before;
        EXPECT_GE(received + 1, r.rate) << r.rate;
        EXPECT_LE(received, r.rate + 1) << r.rate;
        EXPECT_TRUE(stop());
        machine_.pnp().remove(*node_);
    }
}

// The latency reply: safety frames less one millisecond, and the frames of one millisecond.
TEST_F(StreamingTest, LatencyAnswersFollowRateAndMode) {
    plug_vexa();
    for (auto [rate, mode, first, second] : {std::tuple{44100u, 0u, 44u, 44u}, std::tuple{48000u, 2u, 240u, 48u},
                                              std::tuple{192000u, 4u, 1344u, 192u}}) {
        ASSERT_NE(prepare(rate, mode), nullptr);
        ULONG reply[2] = {};
        ASSERT_EQ(driver(kUsbCmdGetLatency, reply, sizeof(reply)), kUsbResultOk);
        EXPECT_EQ(reply[0], first) << rate;
        EXPECT_EQ(reply[1], second) << rate;
    }
}

// The period clock starts at the second capture completion, with that URB's frames and a time in nanoseconds;
// the first resync puts playback exactly the safety distance ahead.
TEST_F(StreamingTest, FirstPeriodComesWithTheSecondCaptureCompletion) {
    plug_vexa();
    StreamState* state = prepare(48000, 0);
    ASSERT_NE(state, nullptr);
    RingPacket* head = state->playbackCursorPacket;
    struct Period {
        uint64_t frame;
        ULONG64 timeNs;
        ULONG frames;
        RingPacket* playbackCursor;
        ULONG playbackPosition;
    };
    std::vector<Period> periods;
    root_.on_period = [&](ULONG64 timeNs, ULONG frames) {
        periods.push_back({machine_.clock().frame(), timeNs, frames, state->playbackCursorPacket,
                           state->playbackCursorPosition});
    };
    uint64_t startedAt = machine_.clock().frame();
    ASSERT_EQ(start(), kUsbResultOk);
    machine_.clock().run_for(Milliseconds(11));
    EXPECT_TRUE(periods.empty());  // URB 0 runs ten frames ahead; its completion only counts
    machine_.clock().run_for(Milliseconds(1));
    ASSERT_EQ(periods.size(), 1u);
    EXPECT_EQ(periods[0].frame, startedAt + 12);  // URB 1 ran during start + 11
    EXPECT_EQ(periods[0].frames, 48u);
    EXPECT_EQ(periods[0].timeNs, (startedAt + 12) * 1'000'000ull);
    // 96 frames (two milliseconds at 48 kHz, mode 0) after the start of playback URB 1: sixteen packets on.
    RingPacket* expected = head;
    for (int i = 0; i < 8 + 16; ++i) expected = expected->next;
    EXPECT_EQ(periods[0].playbackCursor, expected);
    EXPECT_EQ(periods[0].playbackPosition, 0u);
    machine_.clock().run_for(Milliseconds(10));
    EXPECT_EQ(periods.size(), 11u);
    for (size_t i = 1; i < periods.size(); ++i) EXPECT_EQ(periods[i].frame, periods[i - 1].frame + 1);
    EXPECT_TRUE(stop());
}

// What a client writes reaches the device intact and comes back through capture bit-exact, at one latency.
TEST_F(StreamingTest, RampLoopsBackBitExact) {
    for (ULONG rate : {48000u, 44100u, 192000u}) {
        plug_vexa();
        StreamState* state = prepare(rate, 1);
        ASSERT_NE(state, nullptr);
        const ULONG out = device_->playback_channels();
        const ULONG in = device_->capture_channels();
        device_->record_playback(rate * 2);
        RingClient client(state, RampSample);
        root_.on_period = [&](ULONG64, ULONG frames) { client.on_period(frames); };
        ASSERT_EQ(start(), kUsbResultOk);
        machine_.clock().run_for(Seconds(1));
        ASSERT_TRUE(stop());

        // At the device: between the silence before the first write and the
        // silence after the stop, every frame of the ramp, in order.
        std::vector<int32_t> played = device_->recorded_playback();
        size_t first = 0;
        while (first < played.size() && played[first] == 0) ++first;
        size_t last = played.size();
        while (last > first && played[last - 1] == 0) --last;
        ASSERT_LT(first, played.size()) << rate;
        ASSERT_EQ(first % out, 0u);
        size_t frames = (last - first) / out;
        ASSERT_GT(frames, rate / 2);
        for (size_t n = 0; n < frames; ++n) {
            for (ULONG c = 0; c < out; ++c) ASSERT_EQ(played[first + n * out + c], RampSample(n, c)) << rate << " frame " << n;
        }
        // Back in capture: the same ramp, every frame, each channel from its playback channel.
        const std::vector<LONG>& captured = client.captured();
        size_t start = 0;
        while (start < captured.size() && captured[start] == 0) ++start;
        ASSERT_LT(start, captured.size());
        ASSERT_EQ(start % in, 0u);
        size_t back = (captured.size() - start) / in;
        ASSERT_GT(back, rate / 2);
        for (size_t n = 0; n < back; ++n) {
            for (ULONG c = 0; c < in; ++c) {
                LONG expected = c < out ? RampSample(n, c) : 0;
                ASSERT_EQ(captured[start + n * in + c], expected) << rate << " captured frame " << n;
            }
        }
        machine_.pnp().remove(*node_);
    }
}

// A failed URB costs one event and its own data; the stream keeps running on all ten.
TEST_F(StreamingTest, FailedUrbIsLoggedOnceAndStreamingGoesOn) {
    plug_vexa();
    StreamState* state = prepare(48000);
    ASSERT_NE(state, nullptr);
    uint64_t periods = 0;
    root_.on_period = [&](ULONG64, ULONG) { ++periods; };
    ASSERT_EQ(start(), kUsbResultOk);
    machine_.clock().run_for(Milliseconds(50));
    machine_.event_log().clear();
    host().fail_next_transfer(platform::device::kCaptureEndpoint, USBD_STATUS_ISOCH_REQUEST_FAILED);
    host().fail_next_transfer(platform::device::kPlaybackEndpoint, USBD_STATUS_ISOCH_REQUEST_FAILED);
    uint64_t before = periods;
    machine_.clock().run_for(Milliseconds(100));
    auto log = events();
    ASSERT_EQ(log.size(), 2u);
    for (auto& entry : log) {
        EXPECT_EQ(entry.errorCode, MSG_STREAMING_FAILED);
        EXPECT_EQ(entry.finalStatus, USBD_STATUS_ISOCH_REQUEST_FAILED);
    }
    EXPECT_EQ(periods - before, 99u);  // one capture millisecond lost, none after
    uint64_t later = periods;
    machine_.clock().run_for(Milliseconds(100));
    EXPECT_EQ(periods - later, 100u);
    EXPECT_TRUE(stop());
}

// Completions out of order do not stop the stream: it follows the URB that came.
TEST_F(StreamingTest, OutOfOrderCompletionDoesNotStopTheStream) {
    plug_vexa();
    ASSERT_NE(prepare(48000), nullptr);
    uint64_t periods = 0;
    root_.on_period = [&](ULONG64, ULONG) { ++periods; };
    ASSERT_EQ(start(), kUsbResultOk);
    machine_.clock().run_for(Milliseconds(30));
    host().delay_next_transfer(platform::device::kCaptureEndpoint);
    machine_.clock().run_for(Milliseconds(30));
    uint64_t later = periods;
    machine_.clock().run_for(Milliseconds(100));
    EXPECT_EQ(periods - later, 100u);
    EXPECT_TRUE(stop());
}

// Streaming stops on request: busy drains to zero within the root's poll, and no period comes after.
TEST_F(StreamingTest, StopDrainsBusyToZero) {
    plug_vexa();
    ASSERT_NE(prepare(96000), nullptr);
    uint64_t periods = 0;
    root_.on_period = [&](ULONG64, ULONG) { ++periods; };
    ASSERT_EQ(start(), kUsbResultOk);
    machine_.clock().run_for(Milliseconds(40));
    ULONG busy = 0;
    ASSERT_EQ(driver(kUsbCmdQueryBusy, &busy, sizeof(busy)), kUsbResultOk);
    EXPECT_EQ(busy, 1u);
    EXPECT_TRUE(stop());
    uint64_t stopped = periods;
    machine_.clock().run_for(Milliseconds(50));
    EXPECT_EQ(periods, stopped);
    // It starts again from a clean schedule.
    ASSERT_EQ(start(), kUsbResultOk);
    machine_.clock().run_for(Milliseconds(50));
    EXPECT_GT(periods, stopped);
    EXPECT_TRUE(stop());
}

// A start that fails half-way stops what it started: nothing is left busy, and a later start works.
TEST_F(StreamingTest, HalfwayStartFailureStopsWhatStarted) {
    plug_vexa();
    ASSERT_NE(prepare(48000), nullptr);
    platform::fault::inject("WdfRequestSend", STATUS_INSUFFICIENT_RESOURCES, 10, 1);  // capture's first URB
    EXPECT_EQ(start(), kUsbResultFailed);
    machine_.clock().run_for(Milliseconds(30));
    ULONG busy = 1;
    ASSERT_EQ(driver(kUsbCmdQueryBusy, &busy, sizeof(busy)), kUsbResultOk);
    EXPECT_EQ(busy, 0u);
    uint64_t periods = 0;
    root_.on_period = [&](ULONG64, ULONG) { ++periods; };
    ASSERT_EQ(start(), kUsbResultOk);
    machine_.clock().run_for(Milliseconds(30));
    EXPECT_GT(periods, 15u);
    EXPECT_TRUE(stop());
}

// A device that is gone stops the resubmission; nothing is left busy or leaked.
TEST_F(StreamingTest, DeviceGoneStopsResubmission) {
    plug_vexa();
    ASSERT_NE(prepare(48000), nullptr);
    uint64_t periods = 0;
    root_.on_period = [&](ULONG64, ULONG) { ++periods; };
    ASSERT_EQ(start(), kUsbResultOk);
    machine_.clock().run_for(Milliseconds(30));
    platform::usb::port_of(*node_)->disconnect();
    machine_.clock().run_for(Milliseconds(30));
    uint64_t gone = periods;
    machine_.clock().run_for(Milliseconds(30));
    EXPECT_EQ(periods, gone);
    machine_.pnp().surprise_remove(*node_);
    EXPECT_EQ(leaked_bytes(), 0);
}

// Changing the rate re-arms both streams at the device, and a start needs the format again.
TEST_F(StreamingTest, ClockSetReArmsTheStreams) {
    plug_vexa();
    ASSERT_NE(prepare(48000), nullptr);
    ASSERT_EQ(set_rate(48000), kUsbResultOk);  // leaves the streams at setting 0
    auto before = device_->interface_selections().size();
    ASSERT_EQ(set_rate(96000), kUsbResultOk);
    auto selections = device_->interface_selections();
    std::vector<std::pair<UCHAR, UCHAR>> rearm(selections.begin() + static_cast<std::ptrdiff_t>(before), selections.end());
    EXPECT_EQ(rearm, (std::vector<std::pair<UCHAR, UCHAR>>{{platform::device::kPlaybackInterface, 1},
                                                            {platform::device::kPlaybackInterface, 0},
                                                            {platform::device::kCaptureInterface, 1},
                                                            {platform::device::kCaptureInterface, 0}}));
    EXPECT_EQ(device_->clock().rate(), 96000u);
    // The old pipes are gone with the old setting: starting now is refused, not a use of freed records.
    EXPECT_EQ(start(), kUsbResultFailed);
    ASSERT_NE(prepare(96000), nullptr);
    root_.on_period = [](ULONG64, ULONG frames) { EXPECT_EQ(frames, 96u); };
    ASSERT_EQ(start(), kUsbResultOk);
    machine_.clock().run_for(Milliseconds(30));
    EXPECT_TRUE(stop());
}

// While streaming, the format and the clock are refused, and the clock is left as it was.
TEST_F(StreamingTest, FormatAndClockAreRefusedWhileStreaming) {
    plug_vexa();
    ASSERT_NE(prepare(48000), nullptr);
    ASSERT_EQ(start(), kUsbResultOk);
    machine_.clock().run_for(Milliseconds(20));
    StreamFormat format{48000, platform::device::kInternalClockId, 0, 0, 0, 128, 10, 10, };
    EXPECT_EQ(driver(kUsbCmdSetStreamFormat, &format, sizeof(format)), kUsbResultFailed);
    machine_.event_log().clear();
    EXPECT_EQ(set_rate(96000), kUsbResultFailed);
    EXPECT_EQ(device_->clock().rate(), 48000u);
    EXPECT_EQ(events().size(), 1u);  // one event per failed command, not two
    EXPECT_TRUE(stop());
}

// A format asking for more channels than the streaming setting carries is refused.
TEST_F(StreamingTest, FormatBeyondTheDescriptorIsRefused) {
    plug_vexa();
    ASSERT_EQ(set_rate(48000), kUsbResultOk);
    StreamFormat format{};
    format.sampleRate = 48000;
    format.periodFrames = 64;
    format.outputChannels = device_->playback_channels() + 1;
    format.inputChannels = device_->capture_channels();
    EXPECT_EQ(driver(kUsbCmdSetStreamFormat, &format, sizeof(format)), kUsbResultFailed);
    format.outputChannels = device_->playback_channels();
    format.inputChannels = 0;
    EXPECT_EQ(driver(kUsbCmdSetStreamFormat, &format, sizeof(format)), kUsbResultFailed);
    format.inputChannels = device_->capture_channels();
    EXPECT_EQ(driver(kUsbCmdSetStreamFormat, &format, sizeof(format)), kUsbResultOk);
    StreamFormat stored{};
    ASSERT_EQ(driver(kUsbCmdGetStreamFormat, &stored, sizeof(stored)), kUsbResultOk);
    EXPECT_EQ(std::memcmp(&stored, &format, sizeof(format)), 0);
}

// A format of fewer channels than the setting has: positions still step by the channels the packets carry.
TEST_F(StreamingTest, FewerFormatChannelsKeepThePacketStride) {
    plug_vexa();
    ASSERT_EQ(set_rate(176400), kUsbResultOk);
    StreamFormat format{};
    format.sampleRate = 176400;
    format.periodFrames = 2048;
    format.outputChannels = 4;
    format.inputChannels = 4;
    ASSERT_EQ(driver(kUsbCmdSetStreamFormat, &format, sizeof(format)), kUsbResultOk);
    StreamState* state = map_state();
    ASSERT_NE(state, nullptr);
    EXPECT_EQ(state->playbackChannels, device_->playback_channels());
    EXPECT_EQ(state->captureChannels, device_->capture_channels());
    EXPECT_EQ(state->playbackPeriodSamples, 2048u * device_->playback_channels());
    RingPacket* packet = state->playbackCursorPacket;
    ASSERT_NE(packet, nullptr);
    EXPECT_EQ(packet->samples, packet->frames * state->playbackChannels);
}

// An empty capture packet ends that URB's frames: the packets after it carry nothing, though data came in them.
TEST_F(StreamingTest, EmptyCapturePacketEndsTheUrb) {
    plug_vexa();
    StreamState* state = prepare(48000);
    ASSERT_NE(state, nullptr);
    std::vector<ULONG> frames;
    root_.on_period = [&](ULONG64, ULONG n) { frames.push_back(n); };
    ASSERT_EQ(start(), kUsbResultOk);
    machine_.clock().run_for(Milliseconds(20));
    // The capture URB of the next frame: packets 0 and 1 arrive, packet 2 is empty, 3 to 7 arrive.
    device_->empty_capture_packets(2, 1);
    size_t before = frames.size();
    machine_.clock().run_for(Milliseconds(3));
    ASSERT_EQ(frames.size(), before + 3);
    EXPECT_EQ(std::vector<ULONG>(frames.begin() + static_cast<std::ptrdiff_t>(before), frames.end()),
              (std::vector<ULONG>{12, 48, 48}));
    EXPECT_TRUE(stop());
}

// A device with one stream direction still streams: its one stream keeps the period clock.
TEST_F(StreamingTest, OneDirectionDeviceStillStreams) {
    for (bool playbackOnly : {true, false}) {
        VexaVariant variant;
        variant.capture = !playbackOnly;
        variant.playback = playbackOnly;
        plug_vexa(VexaModel::CantileQk, variant);
        ASSERT_EQ(node_->state, platform::NodeState::Started);
        ASSERT_EQ(set_rate(48000), kUsbResultOk);
        StreamFormat format{};
        format.sampleRate = 48000;
        format.periodFrames = 64;
        format.outputChannels = playbackOnly ? device_->playback_channels() : 0;
        format.inputChannels = playbackOnly ? 0 : device_->capture_channels();
        ASSERT_EQ(driver(kUsbCmdSetStreamFormat, &format, sizeof(format)), kUsbResultOk);
        uint64_t periods = 0;
        root_.on_period = [&](ULONG64, ULONG frames) {
            EXPECT_EQ(frames, 48u);
            ++periods;
        };
        ASSERT_EQ(start(), kUsbResultOk);
        machine_.clock().run_for(Milliseconds(50));
        EXPECT_GE(periods, 35u) << (playbackOnly ? "playback only" : "capture only");
        EXPECT_TRUE(stop());
        machine_.pnp().remove(*node_);
    }
}

// Two interfaces stream at once, each on its own schedule.
TEST_F(StreamingTest, TwoDevicesStreamOnTheirOwnSchedules) {
    plug_vexa(VexaModel::CantileQe);
    ASSERT_NE(prepare(48000), nullptr);
    uint64_t first = 0;
    root_.on_period = [&](ULONG64, ULONG) { ++first; };
    ASSERT_EQ(start(), kUsbResultOk);
    machine_.clock().run_for(Milliseconds(7));

    auto other = platform::device::make_vexa_interface(VexaModel::CantileQk, {}, 2);
    platform::DevNode* otherNode = platform::usb::plug(other, vexa::test::kUsbService, u"0002");
    vexa::test::FakeRoot otherRoot;
    ASSERT_EQ(otherRoot.query(&otherNode->pdo), STATUS_SUCCESS);
    uint8_t rate[8] = {0x80, 0xBB, 0, 0, platform::device::kInternalClockId, 0, 0, 0};
    ASSERT_EQ(otherRoot.command(kDcpCategoryClock, kDcpClockSet, rate, 8, nullptr, nullptr), kUsbResultOk);
    StreamFormat format{48000, platform::device::kInternalClockId, 0, 0, 0, 64, other->playback_channels(),
                        other->capture_channels()};
    ASSERT_EQ(otherRoot.command(kDcpCategoryUsbDevice, kUsbCmdSetStreamFormat, &format, sizeof(format), nullptr, nullptr),
              kUsbResultOk);
    uint64_t second = 0;
    otherRoot.on_period = [&](ULONG64, ULONG) { ++second; };
    ULONG on = 1;
    ASSERT_EQ(otherRoot.command(kDcpCategoryUsbDevice, kUsbCmdSetStreaming, &on, 4, nullptr, nullptr), kUsbResultOk);
    machine_.clock().run_for(Milliseconds(100));
    EXPECT_GE(first, 95u);
    EXPECT_GE(second, 85u);
    EXPECT_TRUE(stop());
    machine_.pnp().remove(*otherNode);
}

// Out of pool at any one allocation of the arrival (the streams' rings and
// URBs among them): a device that comes up streams, and once it is removed
// nothing it allocated is left behind.
TEST_F(StreamingTest, PoolFailureAtAnyStepOfTheArrivalLeavesNothingBehind) {
    unsigned failures = 0;
    for (unsigned skip = 0; skip < 1000; ++skip) {
        platform::fault::inject("ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES, skip, 1);
        platform::DevNode* node = plug_vexa();
        bool failed = platform::fault::fired("ExAllocatePoolWithTag") != 0;
        platform::fault::clear();
        failures += failed ? 1 : 0;
        if (!failed) {
            EXPECT_EQ(node->state, platform::NodeState::Started) << NtStatusName(node->lastStatus);
        }
        if (node->state == platform::NodeState::Started) {
            // Whatever could do without the allocation, the streams are whole: they stream.
            ASSERT_NE(prepare(48000), nullptr) << "allocation " << skip;
            root_.on_period = [&](ULONG64, ULONG) {};
            EXPECT_EQ(start(), kUsbResultOk) << "allocation " << skip;
            machine_.clock().run_for(Milliseconds(20));
            EXPECT_GT(device_->playback_frames(), 0u) << "allocation " << skip;
            EXPECT_TRUE(stop()) << "allocation " << skip;
        }
        machine_.pnp().remove(*node);
        EXPECT_EQ(leaked_bytes(), 0) << "allocation " << skip;
        if (!failed) break;
    }
    EXPECT_GT(failures, 20u) << "the arrival's allocations were reached";
}

}  // namespace
