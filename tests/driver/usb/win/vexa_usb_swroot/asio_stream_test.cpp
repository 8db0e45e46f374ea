// ASIO hosts streaming through both drivers and the simulated interface,
// which loops playback to capture: a ramp played on every channel comes back
// bit-exact at one constant latency, for a minute of virtual time at every
// rate and buffer size the rate's band allows, from hosts of either bitness,
// two hosts at once, and while one host changes the buffer size.
#include <gtest/gtest.h>

#include "support/asio_interface_client.h"
#include "support/root_machine.h"

namespace {

using namespace vexa::asio;
using namespace vexa::pal;
using namespace vexa::test;
using platform::device::VexaModel;

class AsioStreamFixture {
protected:
    AsioStreamFixture() : root_(VEXA_TEST_DRIVER_DIR, {}, VEXA_USB_DRIVER_DIR) {
        root_.ports().plug(VexaModel::CantileQe);
        pal_ = OpenPal();
    }
    ~AsioStreamFixture() { CloseHandle(pal_); }

    bool set_rate(uint32_t rate) {
        return Bus(pal_, kDcpBusSetSampleRate, nullptr, 8, U32Data(rate)).status == STATUS_SUCCESS &&
               ReadSettings(pal_).sampleRate == rate;
    }
    // Runs the virtual clock a millisecond at a time; after each the hosts serve what was signalled.
    void run_ms(uint64_t ms, std::initializer_list<AsioRampLoop*> loops) {
        for (uint64_t i = 0; i < ms; ++i) {
            root_.machine().clock().run_for(platform::Milliseconds(1));
            for (AsioRampLoop* loop : loops) loop->serve_all();
        }
    }
    // Opens a session with buffers of `frames` on `channels` each way and starts it.
    void start_host(AsioInterfaceClient& host, uint32_t frames, const std::vector<uint32_t>& channels) {
        ASSERT_TRUE(host.open());
        AsioVersionReply version{};
        ASSERT_TRUE(host.version(&version));
        ASSERT_EQ(version.interfaceVersion, kAsioInterfaceVersion);
        ASSERT_TRUE(host.open_session().ok());
        ASSERT_TRUE(host.create_buffers(frames, channels, channels).ok());
        ASSERT_TRUE(host.start().ok());
    }
    static void expect_clean(const AsioRampLoop::Stats& stats, uint64_t minimumFrames, const char* who) {
        EXPECT_GE(stats.latency, 0) << who << ": the ramp came back";
        EXPECT_EQ(stats.mismatches, 0u) << who << ": first at capture frame " << stats.firstMismatch;
        EXPECT_EQ(stats.missed, 0u) << who;
        EXPECT_EQ(stats.late, 0u) << who;
        EXPECT_GE(stats.frames, minimumFrames) << who;
    }
    static std::vector<uint32_t> channels(uint32_t first, uint32_t count) {
        std::vector<uint32_t> list;
        for (uint32_t c = first; c < first + count; ++c) list.push_back(c);
        return list;
    }

    RootMachine root_;
    HANDLE pal_;
};

struct RateAndSize {
    uint32_t rate;
    uint32_t frames;
};

class AsioStreamTest : public AsioStreamFixture, public ::testing::TestWithParam<RateAndSize> {};

// A ramp on every channel loops back bit-exact at one latency for sixty virtual seconds.
TEST_P(AsioStreamTest, RampLoopsBackBitExactForAMinute) {
    auto [rate, frames] = GetParam();
    ASSERT_TRUE(set_rate(rate));
    AsioInterfaceClient host(false);
    ASSERT_TRUE(host.open());
    auto info = std::make_unique<AsioDeviceInfo>();
    ASSERT_TRUE(host.info(info.get()).ok());
    ASSERT_EQ(info->sampleRate, rate);
    uint32_t count = std::min(info->outputChannels, info->inputChannels);
    ASSERT_GT(count, 0u);
    host.close();
    start_host(host, frames, channels(0, count));
    AsioRampLoop loop(host, channels(0, count));
    run_ms(60'000, {&loop});
    ASSERT_TRUE(host.stop().ok());
    expect_clean(loop.stats(), uint64_t{rate} * 59, "host");
    EXPECT_LT(loop.stats().latency, static_cast<int64_t>(3 * frames + rate / 50)) << "within three halves and 20 ms";
    ASSERT_TRUE(host.dispose_buffers().ok());
    ASSERT_TRUE(host.close_session().ok());
}

std::vector<RateAndSize> RatesAndSizes() {
    std::vector<RateAndSize> cases;
    for (uint32_t rate : {44100u, 48000u, 88200u, 96000u, 176400u, 192000u}) {
        uint32_t band = rate <= 48000 ? 0 : rate <= 96000 ? 1 : 2;
        for (uint32_t frames : {48u, 96u, 512u, 2048u}) {
            if (frames >= (48u << band) && frames <= (2048u << band)) cases.push_back({rate, frames});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Rates, AsioStreamTest, ::testing::ValuesIn(RatesAndSizes()),
                         [](const ::testing::TestParamInfo<RateAndSize>& info) {
                             return std::to_string(info.param.rate) + "_" + std::to_string(info.param.frames);
                         });

class AsioHostsTest : public AsioStreamFixture, public ::testing::Test {};

// A 32-bit host streams through the addresses it was given below 4 GiB.
TEST_F(AsioHostsTest, AThirtyTwoBitHostStreams) {
    auto process = platform::win32::create_local_process(true, "host32");
    platform::win32::ScopedProcess as(process);
    AsioInterfaceClient host(true);
    start_host(host, 256, channels(0, 10));
    EXPECT_LT(host.block_address(), uint64_t{1} << 32);
    EXPECT_LT(host.output_address(9), uint64_t{1} << 32);
    AsioRampLoop loop(host, channels(0, 10));
    run_ms(5'000, {&loop});
    expect_clean(loop.stats(), 48000 * 4, "32-bit host");
    host.close();
}

// Two hosts at once, on channels of their own, each get their own ramp back.
TEST_F(AsioHostsTest, TwoHostsStreamAtOnce) {
    AsioInterfaceClient a(false);
    AsioInterfaceClient b(false);
    start_host(a, 512, channels(0, 5));
    start_host(b, 512, channels(5, 5));
    AsioRampLoop loopA(a, channels(0, 5));
    AsioRampLoop loopB(b, channels(5, 5));
    run_ms(10'000, {&loopA, &loopB});
    expect_clean(loopA.stats(), 48000 * 9, "first host");
    expect_clean(loopB.stats(), 48000 * 9, "second host");
    a.close();
    b.close();
}

// One host changes the buffer size (twice) while another runs: neither loses or corrupts a sample.
TEST_F(AsioHostsTest, OneHostChangesTheSizeWhileAnotherRuns) {
    AsioInterfaceClient a(false);
    start_host(a, 512, channels(0, 5));
    AsioRampLoop loopA(a, channels(0, 5));
    run_ms(500, {&loopA});

    AsioInterfaceClient b(false);
    start_host(b, 256, channels(5, 5));
    EXPECT_EQ(ReadSettings(pal_).bufferSize, 256u) << "the system runs at the new size";
    auto loopB = std::make_unique<AsioRampLoop>(b, channels(5, 5));
    run_ms(3'000, {&loopA, loopB.get()});
    expect_clean(loopB->stats(), 48000 * 2, "second host at 256");

    ASSERT_TRUE(b.stop().ok());
    ASSERT_TRUE(b.dispose_buffers().ok());
    run_ms(100, {&loopA});  // what it played has come back
    ASSERT_TRUE(b.create_buffers(1536, channels(5, 5), channels(5, 5)).ok());
    EXPECT_EQ(ReadSettings(pal_).bufferSize, 1536u);
    ASSERT_TRUE(b.start().ok());
    loopB = std::make_unique<AsioRampLoop>(b, channels(5, 5));
    run_ms(3'000, {&loopA, loopB.get()});
    expect_clean(loopB->stats(), 48000 * 2, "second host at 1536");
    b.close();
    run_ms(500, {&loopA});
    expect_clean(loopA.stats(), 48000 * 7, "first host");
    a.close();
}

}  // namespace
