// Clients streaming through the root driver and the USB function driver on a
// simulated interface that loops playback to capture: a minute at every rate,
// bit-exact at one latency, and clients coming and going while periods run.
#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <thread>

#include "support/root_machine.h"

namespace {

using namespace vexa::pal;
using namespace vexa::test;
using platform::device::VexaModel;

class ClientStreamTest : public ::testing::TestWithParam<uint32_t> {
protected:
    ClientStreamTest() : root_(VEXA_TEST_DRIVER_DIR, {}, VEXA_USB_DRIVER_DIR) {
        root_.ports().plug(VexaModel::CantileQe);
        pal_ = OpenPal();
    }
    ~ClientStreamTest() override { CloseHandle(pal_); }

    void run_ms(uint64_t ms) { root_.machine().clock().run_for(platform::Milliseconds(ms)); }

    RootMachine root_;
    HANDLE pal_;
};

// A ramp played for a minute comes back bit-exact at one constant latency, with no resynchronisation.
TEST_P(ClientStreamTest, RampLoopsBackBitExactForAMinute) {
    uint32_t rate = GetParam();
    ASSERT_EQ(Bus(pal_, kDcpBusSetSampleRate, nullptr, 8, U32Data(rate)).status, STATUS_SUCCESS);
    BusSettingsBlock settings = ReadSettings(pal_);
    ASSERT_EQ(settings.sampleRate, rate);
    TestClientLog log;
    log.ramp = true;
    void* client = root_.add_client(&log);
    ASSERT_EQ(root_.start_client(client), STATUS_SUCCESS);
    run_ms(60'000);
    ASSERT_EQ(root_.stop_client(client), STATUS_SUCCESS);
    root_.remove_client(client);

    std::lock_guard guard(log.lock);
    EXPECT_GE(log.latency, 0) << "the ramp came back";
    EXPECT_LT(log.latency, static_cast<int64_t>(rate / 50)) << "within 20 ms";
    EXPECT_EQ(log.mismatches, 0u) << "first at capture frame " << log.firstMismatch;
    EXPECT_EQ(log.shortWalks, 0u);
    EXPECT_EQ(root_.probe().resyncs, 0u);
    EXPECT_GE(log.captured, uint64_t{rate} * 60 - rate / 50) << "a minute of frames, less the start";
    EXPECT_EQ(log.produced, log.captured);
    EXPECT_GT(log.captured, static_cast<uint64_t>(log.latency) + rate) << "more than a second checked against the ramp";
}

INSTANTIATE_TEST_SUITE_P(Rates, ClientStreamTest, ::testing::Values(44100, 48000, 88200, 96000, 176400, 192000));

// Clients are added, started, stopped and removed, and told of buffer-size
// changes, from other threads while the periods run; run under ThreadSanitizer.
TEST(ClientStressTest, ClientsComeAndGoWhilePeriodsRun) {
    RootMachine root(VEXA_TEST_DRIVER_DIR, {}, VEXA_USB_DRIVER_DIR);
    root.ports().plug(VexaModel::CantileQe);
    std::deque<TestClientLog> logs(64);
    TestClientLog steady;
    void* anchor = root.add_client(&steady);
    ASSERT_EQ(root.start_client(anchor), STATUS_SUCCESS);

    std::atomic<bool> done{false};
    std::thread clock([&] {
        for (int i = 0; i < 400; ++i) root.machine().clock().run_for(platform::Milliseconds(1));
        done = true;
    });
    std::thread churn([&] {
        for (size_t i = 0; !done && i < logs.size(); ++i) {
            void* c = root.add_client(&logs[i]);
            if (c == nullptr) continue;
            EXPECT_EQ(root.start_client(c), STATUS_SUCCESS);
            if (i % 3 == 0) {
                EXPECT_EQ(root.stop_client(c), STATUS_SUCCESS);
            }
            root.remove_client(c);
        }
    });
    std::thread notifier([&] {
        for (int i = 0; !done && i < 200; ++i) {
            (void)root.notify_clients(2);
            (void)root.set_buffer_size(i % 2 == 0 ? 256 : 512);
        }
    });
    clock.join();
    churn.join();
    notifier.join();
    uint64_t periods;
    {
        std::lock_guard guard(steady.lock);
        periods = steady.periods;
    }
    root.machine().clock().run_for(platform::Milliseconds(20));
    {
        std::lock_guard guard(steady.lock);
        EXPECT_GT(steady.periods, periods) << "the running client still streams";
    }
    EXPECT_EQ(root.probe().runningClients, 1u);
    root.remove_client(anchor);
    EXPECT_EQ(root.probe().runningClients, 0u);
}

}  // namespace
