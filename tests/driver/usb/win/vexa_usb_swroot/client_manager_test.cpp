// The audio client manager over a stand-in USB function driver: the chunks of
// the period callback, the carried frames and their bound, the buffer-size
// bands with "Base Buffer Size", latencies, and streaming started by the
// first client and stopped by the last.
#include <gtest/gtest.h>

#include <deque>
#include <thread>

#include "platform/kernel/fault.h"
#include "platform/machine/registry.h"
#include "source/driver/usb/win/kernel_common/messages.h"
#include "tests/driver/usb/win/vexa_usb_swroot/fake_usb_fixture.h"

namespace {

constexpr uint32_t kClientTypeAsio = 0;

using namespace vexa::pal;
using namespace vexa::test;

constexpr uint64_t kMs = 10'000;
const std::u16string kParameters = std::u16string(platform::kServicesKey) + u"\\QUVVexaUSBRoot\\Parameters";

class ManagerTest : public FakeUsbTest {
protected:
    // Logs outlive the clients that write them: the clients go in TearDown.
    TestClientLog& log(uint32_t kind = 2) {
        TestClientLog& l = logs_.emplace_back();
        l.kind = kind;
        return l;
    }
    void* client(TestClientLog* log) {
        void* c = root_.add_client(log);
        EXPECT_NE(c, nullptr);
        clients_.push_back(c);
        return c;
    }
    // The chunk each call handed out and the frames carried after it.
    std::pair<std::vector<uint32_t>, std::vector<uint32_t>> run_periods(TestClientLog* log, uint32_t frames,
                                                                       int calls) {
        std::vector<uint32_t> pending;
        {
            std::lock_guard guard(log->lock);
            log->chunks.clear();
            log->recordChunks = true;
        }
        for (int i = 0; i < calls; ++i) {
            root_.period(frames);
            pending.push_back(root_.probe().pendingFrames);
        }
        std::lock_guard guard(log->lock);
        return {log->chunks, pending};
    }
    void set_rate(uint32_t rate) {
        EXPECT_EQ(Bus(pal_, kDcpBusSetSampleRate, nullptr, 8, U32Data(rate)).status, STATUS_SUCCESS);
    }
    std::optional<uint32_t> stored_base() {
        auto value = root_.machine().registry().get(kParameters, u"Base Buffer Size");
        return value ? value->as_dword() : std::nullopt;
    }
    void TearDown() override {
        for (void* c : clients_) root_.remove_client(c);
    }

    std::deque<TestClientLog> logs_;
    std::vector<void*> clients_;
};

// Period 512, 48 frames a call: ten chunks of 48, then 32 with 16 carried, then 64, then 48 onward.
TEST_F(ManagerTest, ChunksStopAtThePeriodBoundary) {
    plug_fake();
    ASSERT_TRUE(root_.set_buffer_size(512));
    TestClientLog& l = log();
    ASSERT_EQ(root_.start_client(client(&l)), STATUS_SUCCESS);
    auto [chunks, pending] = run_periods(&l, 48, 13);
    std::vector<uint32_t> expected(10, 48);
    expected.insert(expected.end(), {32, 64, 48});
    EXPECT_EQ(chunks, expected);
    std::vector<uint32_t> carried(10, 0);
    carried.insert(carried.end(), {16, 0, 0});
    EXPECT_EQ(pending, carried);
}

// Period 48 at 44100 Hz, 44 frames a call: 44, 4, 48, 48, ... with 0, 40, 36, 32, ... carried.
TEST_F(ManagerTest, ChunksNeverExceedWhatIsLeftOfThePeriod) {
    plug_fake();
    set_rate(44100);
    ASSERT_TRUE(root_.set_buffer_size(48));
    TestClientLog& l = log();
    ASSERT_EQ(root_.start_client(client(&l)), STATUS_SUCCESS);
    auto [chunks, pending] = run_periods(&l, 44, 6);
    EXPECT_EQ(chunks, (std::vector<uint32_t>{44, 4, 48, 48, 48, 48}));
    EXPECT_EQ(pending, (std::vector<uint32_t>{0, 40, 36, 32, 28, 24}));
}

// Without a running client the period still advances; a period made shorter meanwhile starts over.
TEST_F(ManagerTest, PeriodAdvancesWithoutClientsAndWrapsOnAShorterPeriod) {
    plug_fake();
    ASSERT_TRUE(root_.set_buffer_size(512));
    for (int i = 0; i < 3; ++i) root_.period(48);
    EXPECT_EQ(root_.probe().periodPosition, 144u);
    ASSERT_TRUE(root_.set_buffer_size(96));
    EXPECT_EQ(root_.probe().periodPosition, 144u) << "nobody runs: the position stays";
    root_.period(48);
    ManagerProbe probe = root_.probe();
    EXPECT_EQ(probe.periodFrames, 96u);
    EXPECT_EQ(probe.periodPosition, 48u) << "started over, then one chunk";
    EXPECT_EQ(probe.pendingFrames, 0u);
}

// The bands, 512 written into an empty key, a size out of range refused with its event, a large size stored as its base.
TEST_F(ManagerTest, BufferSizeBandsAndTheStoredBase) {
    EXPECT_EQ(stored_base(), 512u);
    plug_fake();
    // {rate, smallest, largest, period} of a band.
    auto expect_band = [this](uint32_t rate, uint32_t smallest, uint32_t largest, uint32_t period) {
        set_rate(rate);
        ManagerProbe probe = root_.probe();
        EXPECT_EQ(probe.minBufferSize, smallest) << rate;
        EXPECT_EQ(probe.maxBufferSize, largest) << rate;
        EXPECT_EQ(probe.periodFrames, period) << rate << ": the period follows the rate";
    };
    expect_band(48000, 48, 2048, 512);
    EXPECT_FALSE(root_.set_buffer_size(40));
    EXPECT_EQ(events_logged(MSG_ASIO_BUFFER_SIZE_OUT_OF_RANGE), std::vector<uint32_t>{uint32_t(STATUS_INVALID_PARAMETER)});
    EXPECT_FALSE(root_.set_buffer_size(2049));
    EXPECT_EQ(root_.probe().periodFrames, 512u) << "refusals change nothing";

    expect_band(96000, 96, 4096, 1024);
    EXPECT_TRUE(root_.set_buffer_size(4096));
    EXPECT_EQ(stored_base(), 2048u);
    EXPECT_TRUE(root_.set_buffer_size(101));
    EXPECT_EQ(root_.probe().periodFrames, 100u) << "101 frames at 96 kHz: base 50";

    expect_band(192000, 192, 8192, 200);
    BusSettingsBlock settings = ReadSettings(pal_);
    EXPECT_EQ(settings.bufferSize, 200u);
}

// A rate the device refuses, or does not list, leaves the rate band and so
// the buffer size, the stored base and the event log as they were.
TEST_F(ManagerTest, RefusedRateKeepsTheBufferSize) {
    plug_fake();
    struct Case {
        const char* name;
        uint32_t rate;
        bool refusedByDevice;  // a listed rate the device still refuses
    };
    for (const Case& c : {Case{"not listed, band 2", 384000, false}, Case{"not listed, band 1", 90000, false},
                          Case{"refused, band 1", 96000, true}, Case{"refused, band 2", 192000, true}}) {
        for (uint32_t frames : {512u, 1024u, 2048u}) {
            ASSERT_TRUE(root_.set_buffer_size(frames)) << c.name << " " << frames;
            size_t eventsBefore = events_logged(MSG_ASIO_BUFFER_SIZE_OUT_OF_RANGE).size();
            if (c.refusedByDevice) fake_->inject(kDcpCategoryClock, kDcpClockSet, {kUsbResultFailed});
            set_rate(c.rate);
            EXPECT_EQ(ReadSettings(pal_).sampleRate, 48000u) << c.name;
            EXPECT_EQ(stored_base(), frames) << c.name << " " << frames;
            EXPECT_EQ(root_.probe().periodFrames, frames) << c.name << " " << frames;
            EXPECT_EQ(ReadSettings(pal_).bufferSize, frames) << c.name << " " << frames;
            EXPECT_EQ(events_logged(MSG_ASIO_BUFFER_SIZE_OUT_OF_RANGE).size(), eventsBefore)
                << c.name << " " << frames << ": no false out-of-range event";
        }
    }
}

// A write the registry refuses leaves the size as it was, in the registry and in the manager.
TEST_F(ManagerTest, FailedRegistryWriteKeepsTheOldSize) {
    plug_fake();
    platform::fault::inject("WdfRegistryAssignULong", STATUS_INSUFFICIENT_RESOURCES, 0, 1);
    EXPECT_FALSE(root_.set_buffer_size(256));
    EXPECT_EQ(root_.probe().periodFrames, 512u);
    EXPECT_EQ(stored_base(), 512u);
    EXPECT_EQ(events_logged(MSG_REGISTRY_WRITE_FAILED),
              std::vector<uint32_t>{uint32_t(STATUS_INSUFFICIENT_RESOURCES)});
    EXPECT_TRUE(root_.set_buffer_size(256));
    EXPECT_EQ(stored_base(), 256u);
}

// A stored base of 0, or beyond the band, is replaced by 512 and written back.
TEST_F(ManagerTest, StoredBaseOutOfRangeIsReplaced) {
    for (uint32_t stored : {0u, 5000u, 47u}) {
        root_.machine().registry().set(kParameters, u"Base Buffer Size", platform::RegValue::dword(stored));
        root_.restart_root();
        EXPECT_EQ(stored_base(), 512u) << stored;
        EXPECT_EQ(root_.probe().periodFrames, 512u) << stored;
    }
    root_.machine().registry().set(kParameters, u"Base Buffer Size", platform::RegValue::dword(256));
    root_.restart_root();
    EXPECT_EQ(root_.probe().periodFrames, 256u);
}

// 48 kHz, mode 2, base 512, device latencies 30 in and 40 out: input 590, output 792; mode changes reach the clients.
TEST_F(ManagerTest, Latencies) {
    set_device_latencies(40, 30);
    plug_fake();
    uint32_t input = 0, output = 0;
    ASSERT_EQ(root_.latencies(&input, &output), STATUS_SUCCESS);
    EXPECT_EQ(input, 590u);
    EXPECT_EQ(output, 792u);

    TestClientLog& asio = log(kClientTypeAsio);
    TestClientLog& kernel = log();
    client(&asio);
    client(&kernel);
    EXPECT_EQ(Bus(pal_, kDcpBusSetOperationMode, nullptr, 8, U32Data(4)).status, STATUS_SUCCESS);
    EXPECT_EQ(asio.inputLatency, 512u + 30 + 48);
    EXPECT_EQ(asio.outputLatency, 512u + 40 + 48000 * 8 / 1000 - 48) << "mode 4: 8 ms of safety";
    EXPECT_EQ(kernel.outputLatency, 0u) << "only ASIO clients report latencies";
    EXPECT_EQ(asio.take_events(), std::vector<uint32_t>{3});
}

// An absurd device latency saturates the sums at the largest frame count a
// host reads (signed 32 bits) instead of wrapping them to a small or negative one.
TEST_F(ManagerTest, AbsurdDeviceLatenciesSaturate) {
    constexpr uint32_t kMax = 0x7FFFFFFF;
    struct Case {
        uint32_t deviceOut, deviceIn;
        uint32_t output, input;  // 48 kHz, mode 2, base 512: + 240 out, + 48 in
    };
    for (const Case& c : {Case{40, 30, 792, 590}, Case{0xFFFFFF00, 0xFFFFFFF0, kMax, kMax},
                          Case{0x7FFFFE00, 30, kMax, 590}, Case{40, 0x7FFFFDD0, 792, kMax},
                          Case{0x7FFFFFFF - 752, 0x7FFFFFFF - 560, kMax, kMax}, Case{0x7FFFFFFF - 752 - 1, 0, kMax - 1, 560}}) {
        set_device_latencies(c.deviceOut, c.deviceIn);
        plug_fake();
        uint32_t input = 0, output = 0;
        ASSERT_EQ(root_.latencies(&input, &output), STATUS_SUCCESS);
        EXPECT_EQ(output, c.output) << std::hex << c.deviceOut;
        EXPECT_EQ(input, c.input) << std::hex << c.deviceIn;
        root_.machine().pnp().remove(*node_);
        platform::drain_pnp_notifications();
    }
}

// The first client to start starts streaming; the last to stop stops it, then polls busy 20 ms later.
TEST_F(ManagerTest, StreamingFollowsTheRunningClients) {
    plug_fake();
    void* first = client(&log());
    void* second = client(&log());
    fake_->take();
    ASSERT_EQ(root_.start_client(first), STATUS_SUCCESS);
    EXPECT_EQ(Keys(fake_->take()), (std::vector<uint32_t>{Key(kDcpCategoryUsbDevice, kUsbCmdSetStreamFormat),
                                                          Key(kDcpCategoryUsbDevice, kUsbCmdMapStreamState),
                                                          Key(kDcpCategoryUsbDevice, kUsbCmdSetStreaming)}));
    EXPECT_EQ(root_.start_client(second), STATUS_SUCCESS);
    EXPECT_EQ(root_.stop_client(first), STATUS_SUCCESS);
    EXPECT_TRUE(fake_->take().empty()) << "one still runs";
    fake_->busyPolls = 1;
    uint64_t before = root_.machine().clock().now();
    EXPECT_EQ(root_.stop_client(second), STATUS_SUCCESS);
    std::vector<FakeUsbCommand> sent = fake_->take();
    ASSERT_EQ(Keys(sent), (std::vector<uint32_t>{Key(kDcpCategoryUsbDevice, kUsbCmdSetStreaming),
                                                 Key(kDcpCategoryUsbDevice, kUsbCmdQueryBusy),
                                                 Key(kDcpCategoryUsbDevice, kUsbCmdQueryBusy)}));
    EXPECT_EQ(sent[1].time - before, 20 * kMs);
    EXPECT_FALSE(fake_->streaming);
}

// Clients starting at the same time send the stream format once.
TEST_F(ManagerTest, ConcurrentStartsStartStreamingOnce) {
    plug_fake();
    std::vector<void*> started;
    for (int i = 0; i < 5; ++i) started.push_back(client(&log()));
    fake_->take();
    std::vector<std::thread> threads;
    for (void* c : started) threads.emplace_back([this, c] { EXPECT_EQ(root_.start_client(c), STATUS_SUCCESS); });
    for (auto& t : threads) t.join();
    std::vector<uint32_t> keys = Keys(fake_->take());
    EXPECT_EQ(std::count(keys.begin(), keys.end(), Key(kDcpCategoryUsbDevice, kUsbCmdSetStreamFormat)), 1);
    EXPECT_EQ(root_.probe().runningClients, 5u);
}

// An ASIO client starting beside a running one leaves the period where it is.
TEST_F(ManagerTest, StartingAClientKeepsTheOthersPeriod) {
    plug_fake();
    ASSERT_EQ(root_.start_client(client(&log(kClientTypeAsio))), STATUS_SUCCESS);
    for (int i = 0; i < 3; ++i) root_.period(48);
    root_.period(500);  // beyond the period: frames are carried
    ManagerProbe before = root_.probe();
    ASSERT_NE(before.pendingFrames, 0u);
    ASSERT_EQ(root_.start_client(client(&log(kClientTypeAsio))), STATUS_SUCCESS);
    ManagerProbe after = root_.probe();
    EXPECT_EQ(after.periodPosition, before.periodPosition);
    EXPECT_EQ(after.pendingFrames, before.pendingFrames);
}

// A sixth client is refused to its caller; a removed client hears nothing more, the others keep their order.
TEST_F(ManagerTest, FiveClientsAtMost) {
    plug_fake();
    std::vector<TestClientLog*> logs;
    for (int i = 0; i < 6; ++i) logs.push_back(&log());
    std::vector<void*> added;
    for (int i = 0; i < 5; ++i) added.push_back(client(logs[i]));
    EXPECT_EQ(root_.add_client(logs[5]), nullptr);
    root_.remove_client(added[1]);
    clients_.erase(clients_.begin() + 1);
    void* sixth = root_.add_client(logs[5]);
    EXPECT_NE(sixth, nullptr) << "a slot is free again";
    clients_.push_back(sixth);
    EXPECT_EQ(root_.notify_clients(2), STATUS_SUCCESS);
    EXPECT_TRUE(logs[1]->take_events().empty());
    for (int i : {0, 2, 3, 4, 5}) EXPECT_EQ(logs[i]->take_events(), std::vector<uint32_t>{2}) << i;
}

// Ten stereo packets of 48 frames, as the USB function driver lays out its rings.
struct SyntheticRing {
    static constexpr ULONG kPackets = 10;
    static constexpr ULONG kFrames = 48;
    static constexpr ULONG kChannels = 2;
    LONG samples[2][kPackets][kFrames * kChannels] = {};
    RingPacket packets[2][kPackets] = {};
    StreamState state{};

    SyntheticRing() {
        for (int ring = 0; ring < 2; ++ring) {
            for (ULONG p = 0; p < kPackets; ++p) {
                packets[ring][p] = RingPacket{samples[ring][p], kFrames, p, kFrames * kChannels, 0,
                                              &packets[ring][(p + 1) % kPackets]};
            }
        }
        state.captureCursorPacket = state.captureEndPacket = &packets[0][0];
        state.playbackCursorPacket = state.playbackEndPacket = &packets[1][0];
        state.captureChannels = state.playbackChannels = kChannels;
        state.captureRingBytes = state.playbackRingBytes = sizeof(samples[0]);
    }
};

// Carried frames that outgrow the ring are skipped: the cursors jump past them and the period starts over.
TEST_F(ManagerTest, CarriedFramesAreBoundedByTheRing) {
    plug_fake();
    ASSERT_TRUE(root_.set_buffer_size(48));
    SyntheticRing ring;
    TestClientLog& l = log();
    client(&l);
    {
        std::lock_guard guard(l.lock);
        l.running = true;  // running without a device stream: the test's ring is the stream
    }
    root_.set_stream_state(&ring.state);
    root_.period(200);
    root_.period(200);
    EXPECT_EQ(root_.probe().pendingFrames, 304u);
    EXPECT_EQ(root_.probe().resyncs, 0u);
    root_.period(200);  // 504 frames behind: more than the ring's 480
    ManagerProbe probe = root_.probe();
    EXPECT_EQ(probe.resyncs, 1u);
    EXPECT_EQ(probe.pendingFrames, 152u);
    EXPECT_EQ(ring.state.captureCursorPacket, &ring.packets[0][6]) << "304 frames on";
    EXPECT_EQ(ring.state.captureCursorPosition, 16u * 2);
    EXPECT_EQ(ring.state.playbackCursorPacket, &ring.packets[1][6]);
    EXPECT_EQ(ring.state.captureEndPacket, &ring.packets[0][7]) << "the client's chunk from the new cursor";
    EXPECT_EQ(ring.state.captureEndPosition, 16u * 2);
    root_.set_stream_state(nullptr);
}

}  // namespace
