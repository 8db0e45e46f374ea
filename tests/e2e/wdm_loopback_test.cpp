// The WDM audio path end to end on the virtual clock: the real root driver
// and USB function driver, the simulated interface looping playback to
// capture, and the WDM audio driver's stand-in on the adapter child playing a
// pattern that names every frame into its render stream and checking it on
// its capture stream, through the interface's arrival, removal and re-arrival.
#include <gtest/gtest.h>

#include "platform/kernel/pool.h"
#include "support/root_machine.h"
#include "support/wdm_double.h"

namespace {

using namespace vexa::test;
using vexa::doubles::WdmDoubleStream;
using vexa::doubles::WdmStreamConfig;
using platform::device::VexaModel;

constexpr ULONG kWdmPoolTag = 0x6B61726D;

struct LoopCase {
    uint32_t rate;
    uint32_t bits;
};

class WdmLoopbackTest : public ::testing::TestWithParam<LoopCase> {
protected:
    void run_s(uint64_t seconds) { root_.machine().clock().run_for(platform::Seconds(seconds)); }

    WdmDouble double_{VEXA_DOUBLES_DIR};  // outlives the machine, which unloads the image
    int64_t ringBytes_ = platform::pool::outstanding_bytes(kWdmPoolTag);
    RootMachine root_{VEXA_DRIVER_DIR, {}, VEXA_USB_DRIVER_DIR, VEXA_DOUBLES_DIR};
};

// Every frame played comes back bit-exact at one latency (the two rings' half-full leads and
// the interface's own delay), for a minute and again after the interface came back; removal
// closes the streams and the adapter, and no ring is left behind.
TEST_P(WdmLoopbackTest, RenderComesBackBitExactThroughRemovalAndReArrival) {
    const LoopCase c = GetParam();
    WdmStreamConfig config;
    config.rate = c.rate;
    config.bits = c.bits;
    double_.knobs([&](vexa::doubles::WdmKnobs& k) {
        k.autoStreams = true;
        k.streams = config;
    });
    constexpr uint64_t run = 60;  // virtual seconds at each arrival
    for (int arrival = 0; arrival < 2; ++arrival) {
        unsigned port = root_.ports().plug(VexaModel::CantileQe).number;
        vexa::doubles::WdmDoubleDevice& device = double_.device();
        {
            std::lock_guard guard(double_.state().lock);
            ASSERT_EQ(device.openStatus, STATUS_SUCCESS);
            ASSERT_EQ(device.streams.size(), 2u);
            for (const WdmDoubleStream& s : device.streams) {
                ASSERT_EQ(s.openStatus, STATUS_SUCCESS) << s.render;
                ASSERT_EQ(s.startStatus, STATUS_SUCCESS) << s.render;
            }
        }
        run_s(run);
        WdmDoubleStream capture = double_.stream(false);
        WdmDoubleStream render = double_.stream(true);
        int64_t latency;
        {
            std::lock_guard guard(double_.state().lock);
            latency = capture.firstSound - device.captureAtRenderStart;
        }
        const uint64_t ring = uint64_t{c.rate} * 2 * 50 / 1000;
        EXPECT_GE(latency, static_cast<int64_t>(ring)) << "both rings start half full";
        EXPECT_LT(latency, static_cast<int64_t>(ring + c.rate / 10)) << "and add little of their own";
        EXPECT_EQ(capture.mismatches, 0u) << "first at capture frame " << capture.firstMismatch;
        EXPECT_EQ(capture.checksum, capture.expectedChecksum);
        EXPECT_GE(capture.checked, run * c.rate - static_cast<uint64_t>(latency) - c.rate / 10);
        EXPECT_GE(render.frames, run * c.rate - c.rate / 10);
        EXPECT_EQ(render.oddRequests + capture.oddRequests, 0u);
        EXPECT_EQ(render.maxIrql, DISPATCH_LEVEL);
        EXPECT_EQ(capture.maxIrql, DISPATCH_LEVEL);
        {
            // A rate set by the double's own stream open reached it after that request, from a
            // worker, and the request it sent in answer found its queue free.
            std::lock_guard guard(double_.state().lock);
            EXPECT_EQ(device.reentrantNotifications, 0u);
            EXPECT_EQ(device.notificationsAbovePassive, 0u);
            if (arrival == 0 && c.rate != 48000) {
                EXPECT_EQ(device.events, (std::vector<uint32_t>{vexa::child::kWdmEventChangeBegin,
                                                                vexa::child::kWdmEventChangeEnd}));
                EXPECT_EQ(device.queriedRate, c.rate);
            }
        }

        ASSERT_TRUE(root_.ports().unplug(port));
        EXPECT_TRUE(root_.children().empty());
        EXPECT_EQ(platform::pool::outstanding_bytes(kWdmPoolTag), ringBytes_) << "every ring was freed";
    }
    std::lock_guard guard(double_.state().lock);
    unsigned closes = 0;
    for (const auto& call : double_.state().calls) {
        if (call.what == "close-stream" || call.what == "close-adapter") {
            EXPECT_EQ(call.status, STATUS_SUCCESS) << call.what;
            EXPECT_EQ(call.irql, PASSIVE_LEVEL) << call.what;
            ++closes;
        }
    }
    EXPECT_EQ(closes, 6u) << "two streams and the adapter, at each removal";
    EXPECT_EQ(double_.state().callsWhileUnloaded, 0u);
}

INSTANTIATE_TEST_SUITE_P(RatesAndDepths, WdmLoopbackTest,
                         ::testing::Values(LoopCase{44100, 16}, LoopCase{44100, 24}, LoopCase{48000, 16},
                                           LoopCase{48000, 24}, LoopCase{96000, 16}, LoopCase{96000, 24}),
                         [](const ::testing::TestParamInfo<LoopCase>& info) {
                             return std::to_string(info.param.rate) + "Hz" + std::to_string(info.param.bits) + "bit";
                         });

}  // namespace
