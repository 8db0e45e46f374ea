// The test host through what happens to a host in use, on the virtual clock:
// the rate set by the host, an operation-mode change, a second host in
// another process, the interface pulled out and plugged in again while
// streaming, and the way out (stop, dispose, the last Release and the
// driver's unregistration).
#include <gtest/gtest.h>

#include <algorithm>

#include "host_fixture.h"
#include "platform/kernel/pool.h"
#include "platform/win32/user_process.h"

namespace {

using namespace vexa::test;
using platform::device::VexaModel;
using vexa::asio_host::AsioHost;
using vexa::asio_host::HostOptions;
using vexa::asio_host::Stream;

constexpr const char16_t* kAsioModule = u"C:\\Windows\\System32\\QUVVexaUSBAsio64.dll";

bool Contains(const std::vector<int32_t>& messages, int32_t selector) {
    return std::find(messages.begin(), messages.end(), selector) != messages.end();
}

class HostLifecycleTest : public HostTest {
protected:
    void SetUp() override { port_ = root_.ports().plug(VexaModel::CantileQe).number; }

    // The last stream of `h` stopped: every channel came back, nothing dropped.
    void expect_last_matched(AsioHost& h, const std::string& what, size_t channels = 10) {
        std::vector<Stream> streams = h.streams();
        ASSERT_FALSE(streams.empty()) << what;
        ExpectMatched(streams.back(), channels, what);
    }

    unsigned port_ = 0;
};

// The host sets 96000 Hz as hosts do (stop, setSampleRate, start): it hears sampleRateDidChange, the next time info
// carries the new rate with its flag (once), and the driver asks for the reset that rebuilds the buffers for the
// new band; after it the host streams bit-exact at the new rate.
TEST_F(HostLifecycleTest, SettingTheRateBringsTheResetTheCallbackAndTheFlag) {
    AsioHost& h = streaming();
    run(200, {&h});
    size_t before = h.switches_seen().size();
    ASSERT_EQ(h.change_rate(96000), ASE_OK);
    run(200, {&h});
    EXPECT_EQ(h.rate_changes(), std::vector<double>{96000}) << "sampleRateDidChange with the new rate, once";
    EXPECT_TRUE(h.wait_for_message(kAsioResetRequest, kCatchUpMs)) << "the driver asks for a reset";
    EXPECT_TRUE(h.reset_pending());
    std::vector<vexa::asio_host::SwitchSeen> seen = h.switches_seen();
    ASSERT_GT(seen.size(), before + 1) << "switches came after the change";
    EXPECT_TRUE(seen[before].flags & kSampleRateChanged) << "the next time info says the rate changed";
    EXPECT_EQ(seen[before].rate, 96000);
    EXPECT_EQ(seen[before - 1].rate, 48000);
    for (size_t i = before + 1; i < seen.size(); ++i) {
        EXPECT_FALSE(seen[i].flags & kSampleRateChanged) << "the flag is set for one switch only, switch " << i;
        EXPECT_EQ(seen[i].rate, 96000);
    }

    // The host's reset: released, created, inited and started at the new rate, bit-exact again.
    ASSERT_EQ(h.recover(nullptr), AsioHost::Recovery::Streaming);
    run(600, {&h});
    ASSERT_EQ(h.stop(), ASE_OK);
    EXPECT_EQ(h.streams().back().rate, 96000u);
    expect_last_matched(h, "after the reset");
}

// An operation-mode change moves the device's safety offset: a host that takes latency messages hears one and reads
// the new latencies, and its signal comes back at the new round trip; a host that does not gets a reset request.
TEST_F(HostLifecycleTest, AnOperationModeChangeBringsTheLatencyMessageOrAReset) {
    for (bool supported : {true, false}) {
        SCOPED_TRACE(supported ? "latency messages supported" : "no latency messages");
        HostOptions options;
        options.latencyMessages = supported;
        AsioHost& h = streaming(options);
        run(300, {&h});
        uint32_t mode = settings().operationMode;
        // Not mode 0: its two milliseconds of safety are less than the frames a period carries over can take,
        // and its round trip runs longer than reported (a fault of its own).
        uint32_t next = mode == 4 ? 1 : 4;
        ASSERT_EQ(Bus(pal_, vexa::pal::kDcpBusSetOperationMode, nullptr, 8, U32Data(next)).status, STATUS_SUCCESS);
        ASSERT_EQ(settings().operationMode, next);
        // The message reaches the host before the clock moves on: with the clock running, a busy test machine
        // could keep the driver's thread on switches (their event comes first) for longer than the check's
        // look-back, and the shifted audio would count against the driver.
        EXPECT_TRUE(h.wait_for_message(supported ? kAsioLatenciesChanged : kAsioResetRequest, kCatchUpMs));
        run(300, {&h});
        if (supported) {
            EXPECT_FALSE(h.reset_pending()) << "the host handled it itself";
            int32_t input = 0;
            int32_t output = 0;
            ASSERT_EQ(h.driver()->getLatencies(&input, &output), ASE_OK);
            std::vector<Stream> streams = h.streams();
            EXPECT_EQ(streams.back().inputLatency, input) << "the host read the new latencies";
            EXPECT_EQ(streams.back().outputLatency, output);
            run(2500, {&h});
            ASSERT_EQ(h.stop(), ASE_OK);
            streams = h.streams();
            for (const auto& c : streams.back().channels) {
                EXPECT_EQ(c.mismatches, 0u) << "channel " << c.channel << " first at " << c.firstMismatch;
                EXPECT_GE(c.relocks, 1u) << "the signal came back at another latency";
                EXPECT_LE(c.resyncFrames, 48000u) << "and was found again within a second";
                EXPECT_EQ(c.latency, int64_t{input} + output)
                    << "channel " << c.channel << " comes back at the new reported round trip";
            }
        } else {
            EXPECT_FALSE(Contains(h.messages(), kAsioLatenciesChanged)) << "not sent to a host that lacks it";
            EXPECT_TRUE(h.reset_pending());
            ASSERT_EQ(h.recover(nullptr), AsioHost::Recovery::Streaming);
            run(600, {&h});
            ASSERT_EQ(h.stop(), ASE_OK);
            expect_last_matched(h, "after the reset");
        }
        h.release();
        ASSERT_EQ(Bus(pal_, vexa::pal::kDcpBusSetOperationMode, nullptr, 8, U32Data(mode)).status, STATUS_SUCCESS);
    }
}

// A second host in another process opens without error, sees the running size as the only one and -995 (no clock)
// for another rate, and both stream bit-exact at once.
TEST_F(HostLifecycleTest, ASecondHostInAnotherProcessStreamsAlongside) {
    // Each on channels of its own: the engine mixes what both play.
    HostOptions firstOptions;
    firstOptions.bufferSize = 256;
    firstOptions.channels = {0, 1, 2, 3, 4};
    AsioHost& first = streaming(firstOptions);
    run(100, {&first});

    auto process = platform::win32::create_local_process(false, "second host");
    AsioHost* second = nullptr;
    {
        platform::win32::ScopedProcess as(process);
        HostOptions secondOptions;
        secondOptions.channels = {5, 6, 7, 8, 9};
        second = &host(secondOptions);
        ASSERT_EQ(second->load(InstalledClass()), S_OK);
        std::string error;
        ASSERT_TRUE(second->init(&error)) << error;
        int32_t minimum = 0, maximum = 0, preferred = 0, granularity = -1;
        ASSERT_EQ(second->driver()->getBufferSize(&minimum, &maximum, &preferred, &granularity), ASE_OK);
        EXPECT_EQ(minimum, 256);
        EXPECT_EQ(maximum, 256);
        EXPECT_EQ(preferred, 256);
        EXPECT_EQ(granularity, 0);
        EXPECT_EQ(second->driver()->canSampleRate(96000), ASE_NoClock);
        EXPECT_EQ(second->driver()->canSampleRate(48000), ASE_OK);
        ASSERT_EQ(second->start(&error), ASE_OK) << error;
    }
    run(1500, {&first, second});
    ASSERT_EQ(first.stop(), ASE_OK);
    {
        platform::win32::ScopedProcess as(process);
        ASSERT_EQ(second->stop(), ASE_OK);
    }
    expect_last_matched(first, "first host", 5);
    expect_last_matched(*second, "second host", 5);
    EXPECT_EQ(first.streams().back().channels.front().latency, second->streams().back().channels.front().latency)
        << "one engine, one round trip";
    {
        platform::win32::ScopedProcess as(process);
        second->release();
    }
}

// Pulled out while streaming: the reset request and no crash; a re-init finds no device until the interface is
// back, then the host streams bit-exact again.
TEST_F(HostLifecycleTest, SurpriseRemovalAndReplug) {
    AsioHost& h = streaming();
    run(300, {&h});
    ASSERT_TRUE(root_.ports().unplug(port_));
    run(100, {&h});
    EXPECT_TRUE(h.wait_for_message(kAsioResetRequest, kCatchUpMs)) << "the driver asks for a reset when the device goes";
    EXPECT_TRUE(h.reset_pending());
    std::string error;
    EXPECT_EQ(h.recover(&error), AsioHost::Recovery::NoDevice) << error;
    EXPECT_FALSE(h.running());
    run(100, {&h});

    root_.ports().plug(VexaModel::CantileQe);
    ASSERT_EQ(h.recover(&error), AsioHost::Recovery::Streaming) << error;
    run(800, {&h});
    ASSERT_EQ(h.stop(), ASE_OK);
    expect_last_matched(h, "after the re-plug");
    EXPECT_EQ(h.resets(), 1u);
}

// The root device removed while the host streams (its driver updated or disabled): the host is asked to reset, as
// for an unplugged interface, and the driver it still holds answers as with no device instead of reading the block
// the root mapped for it; a re-init finds no driver while the root device is away, and once it is back the host
// streams bit-exact again.
TEST_F(HostLifecycleTest, RootDeviceRemovedAndAddedBack) {
    AsioHost& h = streaming();
    run(300, {&h});
    root_.remove_root();
    EXPECT_TRUE(h.wait_for_message(kAsioResetRequest, kCatchUpMs)) << "the host is asked to reset";
    EXPECT_TRUE(h.reset_pending());
    // What a host may still ask before it resets.
    int32_t input = -1;
    int32_t output = -1;
    EXPECT_EQ(h.driver()->getLatencies(&input, &output), ASE_NotPresent);
    ASIOSamples position{};
    ASIOTimeStamp stamp{};
    EXPECT_EQ(h.driver()->getSamplePosition(&position, &stamp), ASE_NotPresent);
    std::string error;
    EXPECT_EQ(h.recover(&error), AsioHost::Recovery::NoDevice) << error;
    EXPECT_EQ(platform::pool::outstanding_bytes(kAsioPoolTag), 0) << "the released driver's buffers went with it";

    root_.add_root(vexa::machine::kRootInstanceId);
    ASSERT_EQ(h.recover(&error), AsioHost::Recovery::Streaming) << error;
    run(800, {&h});
    ASSERT_EQ(h.stop(), ASE_OK);
    expect_last_matched(h, "after the root device came back");
    EXPECT_EQ(h.resets(), 1u);
}

// A second interface plugged in and pulled out again while the host streams on the first: the first's
// stream runs on untouched, bit-exact at the reported round trip throughout, and the host is never asked
// to reset (the arrival used to stop and restart it under the host: a few milliseconds out of step).
TEST_F(HostLifecycleTest, ASecondInterfaceComingAndGoingLeavesTheStreamAlone) {
    AsioHost& h = streaming();
    run(300, {&h});
    unsigned second = paced({&h}, [&] { return root_.ports().plug(VexaModel::CantileQk).number; });
    run(300, {&h});
    ASSERT_EQ(settings().deviceCount, 2u);
    ASSERT_TRUE(paced({&h}, [&] { return root_.ports().unplug(second); }));
    run(300, {&h});
    ASSERT_EQ(h.stop(), ASE_OK);
    EXPECT_FALSE(Contains(h.messages(), kAsioResetRequest)) << "nothing changed for the host";
    EXPECT_FALSE(h.reset_pending());
    EXPECT_EQ(h.streams().size(), 1u) << "one stream throughout";
    expect_last_matched(h, "across the arrival and the removal");
}

// The way out: stop ends the device's streaming, dispose brings the root's 'asio' pool back to 0, the last Release
// lets DllCanUnloadNow answer S_OK, and unregistration removes the keys so no host finds the driver any more.
TEST_F(HostLifecycleTest, StopDisposeReleaseAndUnregistration) {
    HMODULE module = LoadLibraryW(reinterpret_cast<LPCWSTR>(kAsioModule));
    ASSERT_NE(module, nullptr);
    auto canUnloadNow = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module, "DllCanUnloadNow"));
    auto unregister = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module, "DllUnregisterServer"));
    auto reregister = reinterpret_cast<HRESULT (*)()>(GetProcAddress(module, "DllRegisterServer"));
    ASSERT_NE(canUnloadNow, nullptr);
    ASSERT_NE(unregister, nullptr);
    auto& device = *root_.ports().ports().back().device;

    AsioHost& h = host();
    ASSERT_EQ(h.load(InstalledClass()), S_OK);
    std::string error;
    ASSERT_TRUE(h.init(&error)) << error;
    ASSERT_EQ(h.start(&error), ASE_OK) << error;
    run(300, {&h});
    EXPECT_GT(platform::pool::outstanding_bytes(kAsioPoolTag), 0);
    EXPECT_NE(canUnloadNow(), S_OK) << "a driver object is alive";
    ASSERT_EQ(h.stop(), ASE_OK);
    run(50, {&h});
    uint64_t played = device.playback_frames();
    run(200, {&h});
    EXPECT_EQ(device.playback_frames(), played) << "stop ends the device's streaming";
    ASSERT_EQ(h.dispose(), ASE_OK);
    EXPECT_EQ(platform::pool::outstanding_bytes(kAsioPoolTag), 0) << "dispose gives the buffers back";
    h.release();
    EXPECT_EQ(canUnloadNow(), S_OK) << "the last Release lets the module go";

    ASSERT_EQ(unregister(), S_OK);
    EXPECT_TRUE(vexa::asio_host::ListInstalledDrivers().empty()) << "HKLM\\SOFTWARE\\ASIO names it no more";
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID\\{6D41C2A8-3B57-4E19-9C02-58F1A7D3E64B}", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    AsioHost& late = host();
    EXPECT_EQ(late.load(vexa::asio::CLSID_VexaAsio), REGDB_E_CLASSNOTREG) << "no class to create";
    ASSERT_EQ(reregister(), S_OK);
    EXPECT_TRUE(FreeLibrary(module));
}

}  // namespace
