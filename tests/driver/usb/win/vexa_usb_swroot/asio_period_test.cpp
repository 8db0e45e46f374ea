// ASIO clients inside the period callback, driven through the test's packet
// rings: the switch and what the block says of it, mixing and copying, walks
// that cross a half's end, the overrun trace, the end fields' one writer, and
// connections stopped, disposed, closed and cleaned up while periods run.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <thread>

#include "platform/machine/process.h"
#include "tests/driver/usb/win/vexa_usb_swroot/asio_fixture.h"

namespace {

using namespace vexa::asio;
using namespace vexa::pal;
using namespace vexa::test;

constexpr ULONG kObjectTag = 0x774E434B;         // the driver's objects
constexpr uint32_t kBufferSizeChangedEvent = 2;  // the client event of a buffer-size command

class AsioPeriodTest : public AsioTest {
protected:
    // Frames from the rings' cursor to an end.
    ULONG playback_walked() {
        return PacketRings::distance(rings_.state.playbackCursorPacket, rings_.state.playbackCursorPosition,
                                     rings_.state.playbackEndPacket, rings_.state.playbackEndPosition, kQeChannels);
    }
    ULONG capture_walked() {
        return PacketRings::distance(rings_.state.captureCursorPacket, rings_.state.captureCursorPosition,
                                     rings_.state.captureEndPacket, rings_.state.captureEndPosition, kQeChannels);
    }
};

// bufferIndex is 1 at start and flips at each switch; the position advances by the size, the sequence by one.
TEST_F(AsioPeriodTest, EachSwitchFlipsTheIndexAndAdvancesThePosition) {
    AsioInterfaceClient& h = host_in(1);
    ASSERT_TRUE(h.create_buffers(96, {0}, {0}).ok());
    root_.machine().clock().run_for(platform::Milliseconds(7));
    ASSERT_TRUE(h.start().ok());
    follow_rings();
    EXPECT_EQ(h.buffer_index(), 1);
    EXPECT_EQ(h.switch_sequence(), 0u);
    EXPECT_EQ(h.system_time(), root_.machine().clock().now() * 100) << "start stamps the counter's time, in ns";
    EXPECT_FALSE(h.wait_switch(0));
    for (uint32_t n = 1; n <= 6; ++n) {
        period(48, n * 1000);
        EXPECT_FALSE(h.wait_switch(0)) << "half a half: no switch";
        period(48, n * 1000 + 500);
        EXPECT_TRUE(h.wait_switch(0)) << "switch " << n;
        EXPECT_FALSE(h.wait_switch(0)) << "one signal a switch";
        EXPECT_EQ(h.buffer_index(), static_cast<int32_t>(n % 2 == 1 ? 0 : 1));
        EXPECT_EQ(h.switch_sequence(), n);
        EXPECT_EQ(h.sample_position(), uint64_t{96} * (n - 1)) << "the frames switched before this one";
        EXPECT_EQ(h.system_time(), n * 1000 + 500u) << "the period's time stamp";
        h.acknowledge(n);
    }
    // A new start begins again at half 0.
    ASSERT_TRUE(h.stop().ok());
    ASSERT_TRUE(h.start().ok());
    EXPECT_EQ(h.buffer_index(), 1);
    EXPECT_EQ(h.switch_sequence(), 0u);
    EXPECT_EQ(h.sample_position(), 0u);
}

// Output adds into the packets and clips at both 32-bit ends; input is copied as it is, over whatever was there.
TEST_F(AsioPeriodTest, OutputMixesWithClippingAndInputIsCopied) {
    AsioInterfaceClient& h = host_in(1);
    AsioInterfaceClient& other = host_in(1);
    ASSERT_TRUE(h.create_buffers(96, {0, 1, 2}, {0, 1}).ok());
    ASSERT_TRUE(other.create_buffers(96, {2}, {1}).ok());
    // Half 0 is the device's first: the hosts fill it before they start.
    for (uint32_t k = 0; k < 96; ++k) {
        h.output(0, 0)[k] = 10;
        h.output(1, 0)[k] = -10;
        h.output(2, 0)[k] = 7;
        other.output(2, 0)[k] = 1000;
        h.input(0, 0)[k] = h.input(1, 0)[k] = 0x11111111;
    }
    ASSERT_TRUE(h.start().ok());
    ASSERT_TRUE(other.start().ok());
    follow_rings();
    rings_.preset_playback([](ULONG channel) -> LONG {
        if (channel == 0) return INT_MAX - 5;
        if (channel == 1) return INT_MIN + 5;
        return 100;
    });
    rings_.fill_capture(48, [](ULONG frame, ULONG channel) {
        return static_cast<LONG>(channel == 1 ? INT_MIN + frame : INT_MAX - frame);
    });
    root_.period(48);
    std::vector<LONG> played = rings_.take_playback(48);
    rings_.publish();
    for (uint32_t f = 0; f < 48; ++f) {
        EXPECT_EQ(played[f * kQeChannels + 0], INT_MAX) << "clipped high at frame " << f;
        EXPECT_EQ(played[f * kQeChannels + 1], INT_MIN) << "clipped low";
        EXPECT_EQ(played[f * kQeChannels + 2], 100 + 7 + 1000) << "both hosts mixed in";
        EXPECT_EQ(played[f * kQeChannels + 3], 100) << "a channel nobody plays";
        EXPECT_EQ(h.input(0, 0)[f], static_cast<int32_t>(INT_MAX - f));
        EXPECT_EQ(h.input(1, 0)[f], static_cast<int32_t>(INT_MIN + f));
        EXPECT_EQ(other.input(1, 0)[f], static_cast<int32_t>(INT_MIN + f)) << "every client reads the same capture";
        EXPECT_EQ(h.output(0, 0)[f], 0) << "a played sample is cleared";
    }
    EXPECT_EQ(h.input(0, 0)[48], 0x11111111) << "nothing beyond the frames walked";
    EXPECT_EQ(h.output(0, 0)[48], 10);
}

// When the period is not the client's size (another client or a size command moved it), a walk
// that reaches a half's end switches there and goes on in the other half: every frame in order,
// nothing outside the double buffer.
TEST_F(AsioPeriodTest, AWalkAcrossAHalfEndSwitchesThereAndGoesOn) {
    constexpr uint32_t kFrames = 96;
    AsioInterfaceClient& h = host_in(1);
    ASSERT_TRUE(h.create_buffers(kFrames, {0, 9}, {0, 9}).ok());
    uint64_t produced = 0;
    auto fill = [&](int half) {
        for (uint32_t k = 0; k < kFrames; ++k) {
            h.output(0, half)[k] = AsioRampValue(produced + k, 0);
            h.output(9, half)[k] = AsioRampValue(produced + k, 9);
        }
        produced += kFrames;
    };
    fill(0);
    ASSERT_TRUE(h.start().ok());
    fill(1);  // the host fills half 1 while the device works on half 0
    follow_rings();
    ASSERT_TRUE(root_.set_buffer_size(64)) << "the period is no longer the client's size";

    uint64_t played = 0;
    uint64_t captured = 0;
    uint64_t checked = 0;
    uint32_t switches = 0;
    std::vector<int32_t> inputs;
    for (uint32_t frames : {48u, 37u, 100u, 5u, 96u, 1u, 191u, 64u, 33u, 95u, 97u, 48u, 48u, 48u}) {
        // The manager hands out what fits the period; the rest comes next time.
        ManagerProbe before = root_.probe();
        uint32_t chunk = std::min(before.periodFrames - before.periodPosition, before.pendingFrames + frames);
        rings_.fill_capture(chunk, [&](ULONG f, ULONG channel) {
            return static_cast<LONG>(AsioRampValue(captured + f, channel) ^ 0x40000000);
        });
        root_.period(frames);
        std::vector<LONG> out = rings_.take_playback(chunk);
        rings_.publish();
        for (uint32_t f = 0; f < chunk; ++f) {
            EXPECT_EQ(out[f * kQeChannels + 0], AsioRampValue(played + f, 0)) << "frame " << played + f;
            EXPECT_EQ(out[f * kQeChannels + 9], AsioRampValue(played + f, 9)) << "frame " << played + f;
            EXPECT_EQ(out[f * kQeChannels + 5], 0);
        }
        played += chunk;
        captured += chunk;
        // Each switch hands the host the half just finished: its input, then room for more output.
        while (h.wait_switch(0)) {
            ++switches;
            int half = h.buffer_index();
            for (uint32_t k = 0; k < kFrames; ++k) {
                EXPECT_EQ(static_cast<uint32_t>(h.input(9, half)[k]),
                          static_cast<uint32_t>(AsioRampValue(checked + k, 9)) ^ 0x40000000u)
                    << "input frame " << checked + k;
            }
            checked += kFrames;
            fill(half);
            h.acknowledge(h.switch_sequence());
        }
        EXPECT_EQ(switches, played / kFrames) << "a switch at every half's end, no more";
    }
    EXPECT_GE(switches, 8u);
    EXPECT_EQ(realtime_records(vexa::log::kLogError | vexa::log::kLogAsio), 0u) << "the host kept up";
}

// A chunk longer than a half (a host that cannot keep up anyway) switches at every half end it passes.
TEST_F(AsioPeriodTest, AChunkLongerThanAHalfSwitchesAtEveryEnd) {
    AsioInterfaceClient& h = host_in(1);
    ASSERT_TRUE(h.create_buffers(48, {0}, {0}).ok());
    ASSERT_TRUE(h.start().ok());
    follow_rings();
    ASSERT_TRUE(root_.set_buffer_size(512));
    period(150);
    EXPECT_EQ(h.switch_sequence(), 3u) << "ends at 48, 96 and 144";
    EXPECT_EQ(h.sample_position(), 96u);
    EXPECT_EQ(h.buffer_index(), 0);
    EXPECT_EQ(realtime_records(vexa::log::kLogError | vexa::log::kLogAsio), 2u) << "the host had no time";
    h.acknowledge(3);
    period(42);
    EXPECT_EQ(h.switch_sequence(), 4u) << "the walk went on 6 frames into the half";
}

// A period longer than the whole ring mixes each frame once: the walk goes
// round the circle and stops short, rather than starting a second circle
// over frames it already mixed.
TEST_F(AsioPeriodTest, APeriodLongerThanTheRingMixesEachFrameOnce) {
    AsioInterfaceClient& h = host_in(1);
    ASSERT_TRUE(h.create_buffers(512, {0}, {}).ok());
    for (int half = 0; half < 2; ++half) {
        for (uint32_t k = 0; k < 512; ++k) h.output(0, half)[k] = 5;
    }
    ASSERT_TRUE(h.start().ok());
    follow_rings();
    constexpr ULONG kRingFrames = 80 * 6;
    period(1000);
    std::vector<LONG> played = rings_.take_playback(kRingFrames);
    for (ULONG f = 0; f < kRingFrames; ++f) {
        ASSERT_EQ(played[size_t{f} * kQeChannels], 5) << "frame " << f;
    }
}

// A host that never acknowledges is traced from the second switch on; the switches go on.
TEST_F(AsioPeriodTest, AnUnacknowledgedSwitchIsTracedFromTheSecondOn) {
    constexpr uint32_t kMask = vexa::log::kLogError | vexa::log::kLogAsio;
    AsioInterfaceClient& h = host_in(1);
    ASSERT_TRUE(h.create_buffers(48, {0}, {0}).ok());
    ASSERT_TRUE(h.start().ok());
    follow_rings();
    for (uint32_t n = 1; n <= 5; ++n) {
        period(48);
        EXPECT_EQ(h.switch_sequence(), n);
        EXPECT_EQ(realtime_records(kMask), n - 1);
    }
    h.acknowledge(h.switch_sequence());
    period(48);
    EXPECT_EQ(realtime_records(kMask), 4u) << "caught up: no trace";
    EXPECT_EQ(h.switch_sequence(), 6u);
}

// A client without channels one way leaves that way's end as the clients with channels there left it.
TEST_F(AsioPeriodTest, TheEndFieldsHaveOneWriterADirection) {
    for (bool outputFirst : {true, false}) {
        AsioInterfaceClient& first = host_in(1);
        AsioInterfaceClient& second = host_in(1);
        AsioInterfaceClient& player = outputFirst ? first : second;
        AsioInterfaceClient& recorder = outputFirst ? second : first;
        ASSERT_TRUE(player.create_buffers(512, {0}, {}).ok());
        ASSERT_TRUE(recorder.create_buffers(512, {}, {1}).ok());
        ASSERT_TRUE(first.start().ok());
        ASSERT_TRUE(second.start().ok());
        follow_rings();
        for (int i = 0; i < 3; ++i) {
            root_.period(48);
            EXPECT_EQ(playback_walked(), 48u) << (outputFirst ? "player first" : "recorder first");
            EXPECT_EQ(capture_walked(), 48u);
            rings_.publish();
        }
        // With only the recorder running the playback end still follows the period.
        ASSERT_TRUE(player.stop().ok());
        root_.period(48);
        EXPECT_EQ(playback_walked(), 48u);
        EXPECT_EQ(capture_walked(), 48u);
        rings_.publish();
        hosts_.clear();
    }
}

// Stopping right after the start, before any switch, stops device streaming when nothing else runs.
TEST_F(AsioPeriodTest, StopBeforeTheFirstSwitchStopsStreaming) {
    AsioInterfaceClient& h = host_in(2);
    ASSERT_TRUE(h.start().ok());
    EXPECT_TRUE(streaming());
    fake_->take();
    ASSERT_TRUE(h.stop().ok());
    EXPECT_FALSE(streaming());
    auto keys = Keys(fake_->take());
    EXPECT_LT(IndexOf(keys, Key(kDcpCategoryUsbDevice, kUsbCmdSetStreaming)),
              IndexOf(keys, Key(kDcpCategoryUsbDevice, kUsbCmdQueryBusy)))
        << "stopped, then polled until idle";
    // With another client running, a stop leaves streaming on.
    AsioInterfaceClient& other = host_in(2);
    ASSERT_TRUE(other.start().ok());
    ASSERT_TRUE(h.start().ok());
    ASSERT_TRUE(h.stop().ok());
    EXPECT_TRUE(streaming());
    ASSERT_TRUE(h.dispose_buffers().ok());
    EXPECT_TRUE(streaming());
    ASSERT_TRUE(other.dispose_buffers().ok()) << "dispose stops a running client first";
    EXPECT_FALSE(streaming());
}

// The handle's clean-up while the connection runs frees every 'asio' block and mapping and stops streaming.
TEST_F(AsioPeriodTest, CleanupWhileRunningFreesEverything) {
    auto objects = platform::pool::outstanding_bytes(kObjectTag);
    for (bool endProcess : {false, true}) {
        auto process = platform::win32::create_local_process(false, "host");
        {
            platform::win32::ScopedProcess as(process);
            AsioInterfaceClient& h = host_in(5);
            EXPECT_GT(asio_bytes(), 0);
            EXPECT_EQ(platform::mdl::user_mappings().size(), 2u);
            period(48);
            if (endProcess) {
                h.abandon();  // as a host that dies leaves them
            } else {
                h.close();
            }
            hosts_.pop_back();
        }
        // Ending the process closes what it left open.
        process.reset();
        EXPECT_EQ(asio_bytes(), 0);
        EXPECT_TRUE(platform::mdl::user_mappings().empty());
        EXPECT_EQ(platform::mdl::outstanding(), 0u);
        EXPECT_FALSE(streaming());
        EXPECT_EQ(root_.probe().runningClients, 0u);
        EXPECT_EQ(platform::pool::outstanding_bytes(kObjectTag), objects) << "the client object went too";
        period(48);  // nothing of the client is reached any more
    }
}

// The root device going with a running connection open (its driver updated or disabled): the host is asked to reset
// at once, as for an unplugged interface, and its connection leaves the period callback; but what the root mapped into
// the host stays mapped, as on Windows, until the host closes its handle (or ends): the host may still be inside a
// buffer switch, and only its own process can unmap it. Then it all goes, in the host's process.
class RootRemovalTest : public AsioPeriodTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RootRemovalTest, TheHostIsToldAndKeepsItsMappingsUntilItCloses) {
    bool endProcess = GetParam();
    auto process = platform::win32::create_local_process(false, "host");
    auto side = root_.machine().processes().find(process->process_id());
    {
        platform::win32::ScopedProcess as(process);
        AsioInterfaceClient& h = host_in(5);
        EXPECT_FALSE(h.wait(AsioInterfaceClient::kReset, 0));
        EXPECT_EQ(side->mapping_count(), 2u);
        root_.remove_root();
        EXPECT_TRUE(h.wait(AsioInterfaceClient::kReset, 0)) << "the host is asked to reset";
        EXPECT_FALSE(streaming()) << "the connection left the period callback, and streaming stopped";
        EXPECT_EQ(side->mapping_count(), 2u) << "the block and the buffers stay mapped in the host";
        EXPECT_EQ(platform::mdl::user_mappings().size(), 2u);
        EXPECT_GT(asio_bytes(), 0);
        // The host reads its block and writes its buffers as it may from inside a last switch.
        EXPECT_EQ(h.switch_sequence(), 1u);
        h.output(0, 0)[0] = 1;
        AsioBufferSizeReply sizes{};
        EXPECT_FALSE(h.buffer_size(&sizes).sent) << "the device is gone";
        if (endProcess) {
            h.abandon();  // as a host that dies leaves them
        } else {
            h.close();
        }
        hosts_.pop_back();
    }
    if (endProcess) process.reset();  // ending the process closes what it left open
    EXPECT_EQ(side->mapping_count(), 0u) << "unmapped in the host's process";
    EXPECT_TRUE(platform::mdl::user_mappings().empty());
    EXPECT_EQ(asio_bytes(), 0);
    EXPECT_EQ(platform::mdl::outstanding(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Handle, RootRemovalTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "ProcessEnds" : "HandleCloses"; });

// Dispose and close take the client out of the period callback before its buffers go, while periods run.
TEST_F(AsioPeriodTest, DisposeAndCloseWhilePeriodsRun) {
    follow_rings();
    std::atomic<bool> done{false};
    std::thread periods([&] {
        while (!done.load()) {
            root_.period(48);
            rings_.publish();
        }
    });
    for (int round = 0; round < 40; ++round) {
        AsioInterfaceClient& h = host_in(1);
        EXPECT_TRUE(h.create_buffers(round % 2 == 0 ? 512 : 48, {0, 1}, {0, 1}).ok());
        EXPECT_TRUE(h.start().ok());
        follow_rings();
        if (round % 3 == 0) {
            EXPECT_TRUE(h.dispose_buffers().ok());
        } else if (round % 3 == 1) {
            EXPECT_TRUE(h.close_session().ok());
        }
        hosts_.clear();
    }
    done = true;
    periods.join();
    EXPECT_EQ(asio_bytes(), 0);
    EXPECT_TRUE(platform::mdl::user_mappings().empty());
}

// Two threads of one host on one handle cannot run open, create-buffers, dispose and close into each other.
TEST_F(AsioPeriodTest, TwoThreadsOfOneHostAreServedOneAtATime) {
    AsioInterfaceClient& h = host();
    HANDLE events[4];
    for (HANDLE& e : events) e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    std::atomic<uint64_t> context{0};
    std::atomic<bool> done{false};
    std::thread opener([&] {
        for (int i = 0; i < 200; ++i) {
            AsioOpenRequest open{};
            std::memcpy(&open.switchEvent, events, sizeof(events));
            Send(h.handle(), kIoctlAsioOpen, &open, sizeof(open), &open, sizeof(open));
            if (open.result == ASE_OK) context = open.context;
            AsioRequest close{context.load(), 0, 0};
            Send(h.handle(), kIoctlAsioClose, &close, sizeof(close), &close, sizeof(close));
        }
        done = true;
    });
    std::thread builder([&] {
        auto request = std::make_unique<AsioCreateBuffersRequest>();
        while (!done.load()) {
            std::memset(request.get(), 0, sizeof(*request));
            request->context = context.load();
            request->bufferSize = 512;
            request->channelCount = 2;
            request->outputEnable[0] = request->inputEnable[0] = 1;
            Send(h.handle(), kIoctlAsioCreateBuffers, request.get(), sizeof(*request), request.get(), sizeof(*request));
            AsioRequest simple{context.load(), 0, 0};
            Send(h.handle(), kIoctlAsioStart, &simple, sizeof(simple), &simple, sizeof(simple));
            Send(h.handle(), kIoctlAsioDisposeBuffers, &simple, sizeof(simple), &simple, sizeof(simple));
        }
    });
    opener.join();
    builder.join();
    AsioRequest close{context.load(), 0, 0};
    Send(h.handle(), kIoctlAsioClose, &close, sizeof(close), &close, sizeof(close));
    EXPECT_EQ(asio_bytes(), 0) << "whatever interleaving, the last close leaves nothing";
    EXPECT_TRUE(platform::mdl::user_mappings().empty());
    EXPECT_FALSE(streaming());
    for (HANDLE e : events) CloseHandle(e);
}

// Client notices never signal an event a close has let go of, however the two interleave.
TEST_F(AsioPeriodTest, NoticesNeverReachReleasedEvents) {
    std::atomic<bool> done{false};
    std::thread notices([&] {
        while (!done.load()) (void)root_.notify_clients(kBufferSizeChangedEvent);
    });
    for (int round = 0; round < 100; ++round) {
        AsioInterfaceClient& h = host();
        EXPECT_TRUE(h.open_session().ok());
        EXPECT_TRUE(h.close_session().ok());
        hosts_.clear();  // the host's events go with it
    }
    done = true;
    notices.join();
    // An open connection still hears them.
    AsioInterfaceClient& h = host_in(1);
    ASSERT_EQ(root_.notify_clients(kBufferSizeChangedEvent), STATUS_SUCCESS);
    EXPECT_TRUE(h.wait(AsioInterfaceClient::kReset, 0));
    EXPECT_FALSE(h.wait(AsioInterfaceClient::kResync, 0)) << "the root never asks for a resync";
}

}  // namespace
