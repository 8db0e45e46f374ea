// A virtual hour of streaming through the root driver and the USB function
// driver on each model, with every channel carrying a ramp that the
// simulated interface loops back: the capture must bring the ramp back
// bit-exact, at one latency, for the whole hour, with no resynchronisation
// and no frame lost or added. (CTest label "soak": a run of its own.)
#include <gtest/gtest.h>

#include "support/root_machine.h"

namespace {

using namespace vexa::pal;
using namespace vexa::test;
using platform::device::VexaModel;

constexpr uint32_t kRate = 48000;  // the band with every channel of both models
constexpr uint64_t kSecondsPerHour = 3600;
constexpr uint64_t kLatencyBoundFrames = kRate / 50;  // 20 ms

class SoakTest : public ::testing::TestWithParam<VexaModel> {};

// An hour of the ramp on all channels comes back bit-exact at one latency.
TEST_P(SoakTest, VirtualHourOfAllChannelsBitExact) {
    RootMachine root(VEXA_TEST_DRIVER_DIR, {}, VEXA_USB_DRIVER_DIR);
    root.ports().plug(GetParam());
    HANDLE pal = OpenPal();
    ASSERT_EQ(Bus(pal, kDcpBusSetSampleRate, nullptr, 8, U32Data(kRate)).status, STATUS_SUCCESS);
    BusSettingsBlock settings = ReadSettings(pal);
    const auto& band = platform::device::data_sheet(GetParam()).bands[0];
    ASSERT_EQ(settings.sampleRate, kRate);
    ASSERT_EQ(settings.outputChannels, band.outputChannels) << "every channel plays";
    ASSERT_EQ(settings.inputChannels, band.inputChannels) << "every channel is checked";

    TestClientLog log;
    log.ramp = true;
    void* client = root.add_client(&log);
    ASSERT_NE(client, nullptr);
    ASSERT_EQ(root.start_client(client), STATUS_SUCCESS);
    root.machine().clock().run_for(platform::Seconds(kSecondsPerHour));
    ASSERT_EQ(root.stop_client(client), STATUS_SUCCESS);
    root.remove_client(client);
    CloseHandle(pal);

    std::lock_guard guard(log.lock);
    EXPECT_GE(log.latency, 0) << "the ramp came back";
    EXPECT_LT(log.latency, static_cast<int64_t>(kLatencyBoundFrames));
    EXPECT_EQ(log.mismatches, 0u) << "first at capture frame " << log.firstMismatch;
    EXPECT_EQ(log.shortWalks, 0u);
    EXPECT_EQ(root.probe().resyncs, 0u);
    EXPECT_GE(log.captured, kRate * kSecondsPerHour - kLatencyBoundFrames) << "an hour of frames, less the start";
    EXPECT_EQ(log.produced, log.captured);
}

INSTANTIATE_TEST_SUITE_P(Models, SoakTest, ::testing::Values(VexaModel::CantileQk, VexaModel::CantileQe),
                         [](const auto& info) {
                             return info.param == VexaModel::CantileQk ? std::string("CantileQk")
                                                                       : std::string("CantileQe");
                         });

}  // namespace
