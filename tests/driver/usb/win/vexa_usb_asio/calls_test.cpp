// The IASIO calls that answer from the root or from constants, on both
// roads: sizes (and the host given one fixed size), rates, latencies and the
// sample position, clock sources, `future` and the control panel.
#include <cmath>
#include <cstring>
#include <limits>

#include "asio_fixture.h"
#include "platform/kernel/ntstatus.h"

namespace {

using namespace vexa::test;
using namespace vexa::asio;

class CallsTest : public AsioDriverTest {};

struct Sizes {
    int32_t minimum = -1, maximum = -1, preferred = -1, granularity = -2;
};

Sizes BufferSize(IASIO* driver, ASIOError expected = ASE_OK) {
    Sizes s;
    EXPECT_EQ(driver->getBufferSize(&s.minimum, &s.maximum, &s.preferred, &s.granularity), expected);
    return s;
}

// The root's range as it answers it; a refusal passed through with the outputs left alone.
TEST_P(CallsTest, BufferSizeIsTheRootsRange) {
    IASIO* driver = initialised();
    root().take_requests();
    Sizes s = BufferSize(driver);
    EXPECT_EQ(s.minimum, 32);
    EXPECT_EQ(s.maximum, 2048);
    EXPECT_EQ(s.preferred, 256);
    EXPECT_EQ(s.granularity, -1);
    auto requests = root().take_requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].code, kIoctlAsioGetBufferSize);
    EXPECT_EQ(requests[0].outputBytes, 32u);
    EXPECT_EQ(requests[0].as<AsioBufferSizeReply>().result, ASE_NotPresent);
    EXPECT_NE(requests[0].as<AsioBufferSizeReply>().context, 0u) << "the connection's context";
    EXPECT_EQ(driver->getBufferSize(nullptr, nullptr, nullptr, nullptr), ASE_OK);
    {
        std::lock_guard guard(root().lock);
        root().results[kIoctlAsioGetBufferSize] = ASE_InvalidMode;
    }
    s = BufferSize(driver, ASE_InvalidMode);
    EXPECT_EQ(s.minimum, -1) << "a refusal writes nothing";
    EXPECT_EQ(s.granularity, -2);
}

// A host whose program is "...\ProTools.exe" is offered its preferred size as the only size.
TEST_P(CallsTest, ProToolsGetsOneFixedSize) {
    process_->set_image_path("C:\\Program Files\\Host\\ProTools.exe");
    IASIO* driver = initialised();
    Sizes s = BufferSize(driver);
    EXPECT_EQ(s.minimum, 256);
    EXPECT_EQ(s.maximum, 256);
    EXPECT_EQ(s.preferred, 256);
    EXPECT_EQ(s.granularity, 0);
    // The match is on the name as written.
    process_->set_image_path("C:\\Program Files\\Host\\protools.exe");
    IASIO* other = create();
    ASSERT_EQ(release(driver), 0u);
    ASSERT_EQ(other->init(nullptr), ASIOTrue);
    EXPECT_EQ(BufferSize(other).granularity, -1);
}

// canSampleRate asks the root with the rate in whole Hz and passes its answer on; rates the request cannot carry
// (NaN, infinite, not positive, below 1 Hz, beyond 32 bits) are refused without a request.
TEST_P(CallsTest, CanSampleRate) {
    IASIO* driver = initialised();
    root().take_requests();
    EXPECT_EQ(driver->canSampleRate(44100.9), ASE_OK);
    {
        std::lock_guard guard(root().lock);
        EXPECT_EQ(root().lastRate, 44100u) << "truncated";
        root().results[kIoctlAsioCanSampleRate] = ASE_NoClock;
    }
    EXPECT_EQ(driver->canSampleRate(4294967295.0), ASE_NoClock) << "the root's refusal";
    EXPECT_EQ(root().take_requests().size(), 2u);
    for (double rate : {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(), 0.0, -48000.0,
                        0.5, 4294967296.0, 1e300}) {
        EXPECT_EQ(driver->canSampleRate(rate), ASE_NoClock) << rate;
        EXPECT_EQ(driver->setSampleRate(rate), ASE_NoClock) << rate;
    }
    EXPECT_TRUE(root().codes().empty());
}

// A request whose wait fails is cancelled and waited for before the call answers -1000: left pending, the root
// would complete it later into the OVERLAPPED and buffer of a call that has returned. The connection serves on.
TEST_P(CallsTest, AFailedWaitCancelsTheRequestBeforeAnswering) {
    IASIO* driver = initialised();
    {
        std::lock_guard guard(root().lock);
        root().holds.insert(kIoctlAsioCanSampleRate);
    }
    platform::fault::inject("GetOverlappedResultWait", STATUS_INVALID_HANDLE);
    EXPECT_EQ(driver->canSampleRate(44100.0), ASE_NotPresent);
    {
        std::lock_guard guard(root().lock);
        EXPECT_EQ(root().held, 1u);
        EXPECT_EQ(root().cancelled, 1u) << "the request is still pending in the root";
        root().holds.clear();
        root().results[kIoctlAsioCanSampleRate] = ASE_OK;
    }
    EXPECT_EQ(driver->canSampleRate(44100.0), ASE_OK);
}

// setSampleRate: the current rate sends nothing; another is sent, waited for 500 ms, the information read again
// and the host told; a refusal and a failed request leave the rate as it was.
TEST_P(CallsTest, SetSampleRate) {
    IASIO* driver = initialised();
    auto infos = buffers({0});
    ASSERT_EQ(create_buffers(driver, infos), ASE_OK);
    root().take_requests();
    clear_sleeps();
    EXPECT_EQ(driver->setSampleRate(48000), ASE_OK);
    EXPECT_TRUE(root().codes().empty()) << "the current rate";

    {
        std::lock_guard guard(root().lock);
        root().info.outputChannels = 2;  // the higher band has fewer channels
    }
    EXPECT_EQ(driver->setSampleRate(96000), ASE_OK);
    EXPECT_EQ(root().codes(), (std::vector<uint32_t>{kIoctlAsioSetSampleRate, kIoctlAsioGetInfo}));
    EXPECT_EQ(sleeps(), (std::vector<DWORD>{500}));
    auto changes = host_.calls(HostCall::kRateChange);
    ASSERT_EQ(changes.size(), 1u);
    EXPECT_EQ(changes[0].rate, 96000.0);
    ASIOSampleRate rate = 0;
    EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 96000.0);
    int32_t outputs = 0;
    EXPECT_EQ(driver->getChannels(nullptr, &outputs), ASE_OK);
    EXPECT_EQ(outputs, 2) << "the counts were read again";

    root().take_requests();
    {
        std::lock_guard guard(root().lock);
        root().results[kIoctlAsioSetSampleRate] = ASE_NoClock;
    }
    EXPECT_EQ(driver->setSampleRate(44100), ASE_NoClock);
    {
        std::lock_guard guard(root().lock);
        root().results.clear();
        root().failures[kIoctlAsioSetSampleRate] = STATUS_UNSUCCESSFUL;
    }
    EXPECT_EQ(driver->setSampleRate(44100), ASE_NotPresent);
    {
        std::lock_guard guard(root().lock);
        root().failures.clear();
        root().failures[kIoctlAsioGetInfo] = STATUS_UNSUCCESSFUL;
    }
    EXPECT_EQ(driver->setSampleRate(88200), ASE_NotPresent) << "the information could not be read again";
    EXPECT_EQ(driver->getSampleRate(&rate), ASE_OK);
    EXPECT_EQ(rate, 88200.0) << "the root took the rate";
    EXPECT_EQ(host_.calls(HostCall::kRateChange).size(), 1u) << "only the rate change that completed was told";
}

// sampleRateDidChange comes without a lock the buffer switch needs: a host that waits in there for its own next
// switch gets it (held under the callback mutex, the switch would wait for the host and the host for the switch).
TEST_P(CallsTest, TheRateCallbackMayWaitForASwitch) {
    IASIO* driver = running();
    bool switched = false;
    host_.on_rate_change([&] {
        size_t before = host_.calls(HostCall::kSwitch).size();
        root().switch_buffers(0, 0);
        switched = host_.wait_for(HostCall::kSwitch, before + 1);
    });
    EXPECT_EQ(driver->setSampleRate(96000), ASE_OK);
    EXPECT_TRUE(switched) << "the switch reached the host waiting in sampleRateDidChange";
    EXPECT_EQ(host_.calls(HostCall::kRateChange).size(), 1u);
}

// A host owns its reference and may release the driver from inside any callback: released while createBuffers asks
// it about itself, or inside sampleRateDidChange, the driver stays whole until that call of the host's returns (the
// rest of the questions asked, the connection open), and goes then, disposing what it made.
TEST_P(CallsTest, ReleasedFromInsideACallbackOfItsOwnCall) {
    for (bool duringRateChange : {false, true}) {
        SCOPED_TRACE(duringRateChange ? "inside sampleRateDidChange" : "inside createBuffers' questions");
        IASIO* driver = initialised();
        auto infos = buffers({0}, {0});
        if (duringRateChange) {
            ASSERT_EQ(create_buffers(driver, infos), ASE_OK);
        }
        host_.clear();
        ULONG left = 99;
        bool openAtRelease = false;
        auto letGo = [&] {
            left = release(driver);
            std::lock_guard guard(root().lock);
            openAtRelease = root().handleOpen;
        };
        if (duringRateChange) {
            host_.on_rate_change([&] {
                host_.on_rate_change(nullptr);
                letGo();
            });
            EXPECT_EQ(driver->setSampleRate(96000), ASE_OK);
        } else {
            host_.on_message([&](int32_t selector) {
                if (selector != kAsioEngineVersion) return;
                host_.on_message(nullptr);
                letGo();
            });
            EXPECT_EQ(create_buffers(driver, infos), ASE_OK);
            EXPECT_EQ(host_.messages().size(), 8u) << "every question asked after the first released the driver";
        }
        EXPECT_EQ(left, 1u) << "the driver held a reference of its own through the callback";
        EXPECT_TRUE(openAtRelease) << "nothing of it went inside the host's callback";
        std::lock_guard guard(root().lock);
        EXPECT_FALSE(root().handleOpen) << "it went when its call returned";
        EXPECT_FALSE(root().buffersExist) << "and disposed the buffers it made";
    }
}

// Before init there is no block: the latencies, the position and the rate answer -1000 and leave the outputs
// alone; null outputs are refused or skipped as each call defines.
TEST_P(CallsTest, NothingIsReadBeforeInit) {
    IASIO* driver = create();
    int32_t input = -5;
    int32_t output = -6;
    EXPECT_EQ(driver->getLatencies(&input, &output), ASE_NotPresent);
    EXPECT_EQ(input, -5);
    EXPECT_EQ(output, -6);
    ASIOSamples position{7, 7};
    ASIOTimeStamp stamp{8, 8};
    EXPECT_EQ(driver->getSamplePosition(&position, &stamp), ASE_NotPresent);
    EXPECT_EQ(position.lo, 7u);
    EXPECT_EQ(stamp.lo, 8u);
    ASIOSampleRate rate = 3;
    EXPECT_EQ(driver->getSampleRate(&rate), ASE_NotPresent);
    EXPECT_EQ(rate, 3.0);
    EXPECT_EQ(driver->getSampleRate(nullptr), ASE_InvalidParameter);
    EXPECT_EQ(driver->getSamplePosition(nullptr, &stamp), ASE_InvalidParameter);
    EXPECT_EQ(driver->getSamplePosition(&position, nullptr), ASE_InvalidParameter);
    int32_t inputs = -1;
    EXPECT_EQ(driver->getChannels(&inputs, nullptr), ASE_NotPresent);
    EXPECT_EQ(inputs, 0);
    EXPECT_TRUE(root().codes().empty());
}

// After init the latencies and the position come from the shared block as the root last wrote them, split into
// their two 32-bit words.
TEST_P(CallsTest, LatenciesAndPositionFromTheBlock) {
    IASIO* driver = initialised();
    root().set_latencies(288, 320);
    root().set_position(0x100000002ull, 0x300000004ull);
    int32_t input = 0;
    int32_t output = 0;
    EXPECT_EQ(driver->getLatencies(&input, &output), ASE_OK);
    EXPECT_EQ(input, 288);
    EXPECT_EQ(output, 320);
    EXPECT_EQ(driver->getLatencies(nullptr, nullptr), ASE_OK);
    ASIOSamples position{};
    ASIOTimeStamp stamp{};
    EXPECT_EQ(driver->getSamplePosition(&position, &stamp), ASE_OK);
    EXPECT_EQ(position.hi, 1u);
    EXPECT_EQ(position.lo, 2u);
    EXPECT_EQ(stamp.hi, 3u);
    EXPECT_EQ(stamp.lo, 4u);
}

// One clock source, "USB", current; only index 0 can be chosen.
TEST_P(CallsTest, OneClockSource) {
    IASIO* driver = initialised();
    ASIOClockSource clocks[2];
    std::memset(clocks, 0x7F, sizeof(clocks));
    int32_t count = 0;
    EXPECT_EQ(driver->getClockSources(clocks, &count), ASE_InvalidParameter) << "no room";
    EXPECT_EQ(driver->getClockSources(nullptr, &count), ASE_InvalidParameter);
    EXPECT_EQ(driver->getClockSources(clocks, nullptr), ASE_InvalidParameter);
    count = 2;
    ASSERT_EQ(driver->getClockSources(clocks, &count), ASE_OK);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(clocks[0].index, 0);
    EXPECT_EQ(clocks[0].associatedChannel, -1);
    EXPECT_EQ(clocks[0].associatedGroup, -1);
    EXPECT_EQ(clocks[0].isCurrentSource, ASIOTrue);
    EXPECT_STREQ(clocks[0].name, "USB");
    EXPECT_EQ(clocks[1].index, 0x7F7F7F7F) << "one source written";
    EXPECT_EQ(driver->setClockSource(0), ASE_OK);
    EXPECT_EQ(driver->setClockSource(1), ASE_InvalidParameter);
    EXPECT_EQ(driver->setClockSource(-1), ASE_InvalidParameter);
}

// `future` over every selector it knows, and ones it does not; outputReady is accepted.
TEST_P(CallsTest, FutureSelectors) {
    IASIO* driver = initialised();
    EXPECT_EQ(driver->future(kAsioCanTimeInfo, nullptr), ASE_SUCCESS);
    for (int32_t selector : {kAsioEnableTimeCodeRead, kAsioDisableTimeCodeRead, kAsioSetInputMonitor, kAsioTransport,
                             kAsioCanInputMonitor, kAsioCanTimeCode, kAsioCanTransport, kAsioCanInputGain,
                             kAsioCanInputMeter, kAsioCanOutputGain, kAsioCanOutputMeter, kAsioSetIoFormat,
                             kAsioGetIoFormat, kAsioCanDoIoFormat}) {
        EXPECT_EQ(driver->future(selector, nullptr), ASE_NotPresent) << selector;
    }
    for (int32_t selector : {kAsioSetInputGain, kAsioGetInputMeter, kAsioSetOutputGain, kAsioGetOutputMeter,
                             kAsioCanReportOverload, kAsioGetInternalBufferSamples, 0, 17, 12345, -1}) {
        EXPECT_EQ(driver->future(selector, nullptr), ASE_InvalidParameter) << selector;
    }
    EXPECT_EQ(driver->outputReady(), ASE_OK);
    EXPECT_TRUE(root().take_requests().size() == 3u) << "only init's requests";
}

// The control panel is the installed program at its Windows path, opened with the shell; a missing program is
// only traced.
TEST_P(CallsTest, ControlPanelStartsTheProgram) {
    IASIO* driver = create();
    EXPECT_EQ(driver->controlPanel(), ASE_OK) << "nothing installed there yet";
    auto executions = platform::win32::shell::executions();
    ASSERT_EQ(executions.size(), 1u);
    EXPECT_EQ(executions[0].file, "C:\\Program Files\\QUVVexaUSB\\QUVVexaUSB.exe");
    EXPECT_EQ(executions[0].operation, "open");
    EXPECT_EQ(executions[0].parameters, "");
    EXPECT_EQ(executions[0].directory, "");
    EXPECT_EQ(executions[0].showCommand, SW_SHOWNORMAL);
    EXPECT_EQ(executions[0].owner, nullptr) << "the foreground window: none here";
    EXPECT_TRUE(executions[0].program.empty());

    machine_.attachment<platform::InstalledFiles>().install(u"C:\\Program Files\\QUVVexaUSB\\QUVVexaUSB.exe",
                                                             "/bin/true");
    EXPECT_EQ(driver->controlPanel(), ASE_OK);
    executions = platform::win32::shell::executions();
    ASSERT_EQ(executions.size(), 2u);
    EXPECT_EQ(executions[1].program, "/bin/true");
    EXPECT_EQ(platform::win32::shell::wait_for_exit(1), 0) << "the program ran";
}

INSTANTIATE_TEST_SUITE_P(Roads, CallsTest, ::testing::Values(Road::Local, Road::Socket), RoadName);

}  // namespace
