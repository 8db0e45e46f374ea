// The audio engine over the real USB function driver and simulated
// interfaces: settings kept in the registry, several devices and the current
// one, removals (orderly and in the middle of streaming), refused and failed
// arrivals, and streaming that survives other devices coming.
#include <gtest/gtest.h>

#include "platform/kernel/pool.h"
#include "platform/machine/registry.h"
#include "platform/machine/work_queue.h"
#include "support/root_machine.h"
#include "support/temp_dir.h"
#include "support/usb_constants.h"

namespace {

using namespace vexa::pal;
using namespace vexa::test;
using platform::device::VexaInterface;
using platform::device::VexaModel;

const std::u16string kParameters = std::u16string(platform::kServicesKey) + u"\\QUVVexaUSBRoot\\Parameters";

std::optional<uint32_t> Stored(platform::Machine& machine, const char16_t* name) {
    auto value = machine.registry().get(kParameters, name);
    return value ? value->as_dword() : std::nullopt;
}

class EngineTest : public ::testing::Test {
protected:
    explicit EngineTest(platform::MachineOptions options = {}) { boot(std::move(options)); }
    ~EngineTest() override { shut_down(); }

    void boot(platform::MachineOptions options) {
        root_ = std::make_unique<RootMachine>(VEXA_TEST_DRIVER_DIR, std::move(options), VEXA_USB_DRIVER_DIR);
        pal_ = OpenPal();
        EXPECT_EQ(Bus(pal_, kDcpBusRegisterClient).status, STATUS_SUCCESS);
    }
    void shut_down() {
        if (pal_ != nullptr) CloseHandle(pal_);
        pal_ = nullptr;
        root_.reset();
    }

    const vexa::machine::SimulatedPorts::Port& plug(VexaModel model,
                                                    const std::function<void(VexaInterface&)>& before = nullptr) {
        return root_->ports().plug(model, before);
    }
    VexaInterface& device(size_t index) { return *root_->ports().ports().at(index).device; }
    void run_ms(uint64_t ms) { root_->machine().clock().run_for(platform::Milliseconds(ms)); }
    BusSettingsBlock settings() { return ReadSettings(pal_); }
    // A running client, which started streaming, `ms` streamed; the notifications so far are taken.
    void* stream_with_client(TestClientLog* log, uint64_t ms) {
        void* client = root_->add_client(log);
        EXPECT_NE(client, nullptr);
        EXPECT_EQ(root_->start_client(client), STATUS_SUCCESS);
        run_ms(ms);
        TakeNotifications(pal_);
        return client;
    }

    std::unique_ptr<RootMachine> root_;
    HANDLE pal_ = nullptr;
};

// An empty Parameters key gets the defaults; what the engine applies is kept across a restart of the machine.
TEST(EngineSettingsTest, DefaultsAndSettingsSurviveARestart) {
    TempDir dir;
    platform::MachineOptions options;
    options.stateDir = dir.path();
    {
        RootMachine root(VEXA_TEST_DRIVER_DIR, options, VEXA_USB_DRIVER_DIR);
        EXPECT_EQ(Stored(root.machine(), u"Sampling Rate"), 48000u);
        EXPECT_EQ(Stored(root.machine(), u"Clock Source Index"), 24u);
        EXPECT_EQ(Stored(root.machine(), u"Operation Mode"), 2u);
        root.ports().plug(VexaModel::CantileQe);
        EXPECT_EQ(Stored(root.machine(), u"Clock Source Index"), 0x28u) << "24 is not listed: the first source";
        HANDLE pal = OpenPal();
        EXPECT_EQ(Bus(pal, kDcpBusSetSampleRate, nullptr, 8, U32Data(96000)).status, STATUS_SUCCESS);
        EXPECT_EQ(Bus(pal, kDcpBusSetOperationMode, nullptr, 8, U32Data(4)).status, STATUS_SUCCESS);
        CloseHandle(pal);
    }
    RootMachine root(VEXA_TEST_DRIVER_DIR, options, VEXA_USB_DRIVER_DIR);
    EXPECT_EQ(Stored(root.machine(), u"Sampling Rate"), 96000u);
    EXPECT_EQ(Stored(root.machine(), u"Operation Mode"), 4u);
    const auto& port = root.ports().plug(VexaModel::CantileQe);
    EXPECT_EQ(port.device->clock().rate(), 96000u) << "the stored rate is applied to the new device";
    HANDLE pal = OpenPal();
    BusSettingsBlock block = ReadSettings(pal);
    EXPECT_EQ(block.sampleRate, 96000u);
    EXPECT_EQ(block.clockSource, 0x28u);
    EXPECT_EQ(block.operationMode, 4u);
    EXPECT_EQ(block.outputChannels, platform::device::data_sheet(VexaModel::CantileQe).bands[1].outputChannels);
    CloseHandle(pal);
}

// A value that is not a DWORD, or an operation mode out of range, is replaced by its default and written back.
TEST(EngineSettingsTest, UnreadableValuesAreReplaced) {
    TempDir dir;
    platform::MachineOptions options;
    options.stateDir = dir.path();
    {
        platform::Machine machine(options);
        machine.registry().create_key(kParameters);
        machine.registry().set(kParameters, u"Sampling Rate", platform::RegValue::string(u"fast"));
        machine.registry().set(kParameters, u"Operation Mode", platform::RegValue::dword(9));
        machine.shutdown();
    }
    RootMachine root(VEXA_TEST_DRIVER_DIR, options, VEXA_USB_DRIVER_DIR);
    EXPECT_EQ(Stored(root.machine(), u"Sampling Rate"), 48000u);
    EXPECT_EQ(Stored(root.machine(), u"Operation Mode"), 2u);
}

// Removing the current one of three devices makes the next current, with the engine's settings applied to it.
TEST_F(EngineTest, RemovingTheCurrentOfThreePromotesTheNext) {
    plug(VexaModel::CantileQe);
    plug(VexaModel::CantileQk);
    plug(VexaModel::CantileQe);
    BusSettingsBlock before = settings();
    ASSERT_EQ(before.deviceCount, 3u);
    EXPECT_EQ(before.currentDeviceId, before.deviceIds[0]);
    EXPECT_EQ(Bus(pal_, kDcpBusSetSampleRate, nullptr, 8, U32Data(96000)).status, STATUS_SUCCESS);
    EXPECT_EQ(device(1).clock().rate(), 48000u) << "only the current device follows a rate change";
    TakeNotifications(pal_);

    ASSERT_TRUE(root_->ports().unplug(1));
    EXPECT_EQ(Kinds(TakeNotifications(pal_)), std::vector<uint32_t>{kPalNotifyDeviceRemoval});
    BusSettingsBlock after = settings();
    EXPECT_EQ(after.deviceCount, 2u);
    EXPECT_EQ(after.currentDeviceId, before.deviceIds[1]);
    EXPECT_EQ(after.deviceIds[1], before.deviceIds[2]);
    EXPECT_EQ(after.sampleRate, 96000u);
    EXPECT_EQ(device(0).clock().rate(), 96000u) << "the promoted device runs at the engine's rate";
    EXPECT_EQ(after.outputChannels, platform::device::data_sheet(VexaModel::CantileQk).bands[1].outputChannels);
    EXPECT_EQ(after.inputChannels, platform::device::data_sheet(VexaModel::CantileQk).bands[1].inputChannels);

    // A device that is not current goes without changing the current one.
    ASSERT_TRUE(root_->ports().unplug(3));
    EXPECT_EQ(settings().currentDeviceId, before.deviceIds[1]);
    EXPECT_EQ(settings().deviceCount, 1u);
}

// Pulled out while streaming: the clients hear of it, the PAL clients get notification 2, nothing is left allocated.
TEST_F(EngineTest, SurpriseRemovalMidStreamLeavesNothing) {
    int64_t objects = platform::pool::outstanding_bytes(kTagObject);
    int64_t buffers = platform::pool::outstanding_bytes(kTagBuffer);
    plug(VexaModel::CantileQe);
    TestClientLog log;
    void* client = stream_with_client(&log, 50);
    EXPECT_GT(device(0).playback_frames(), 0u);
    EXPECT_GT(log.periods, 0u);
    log.take_events();

    ASSERT_TRUE(root_->ports().unplug(1));
    run_ms(20);
    root_->machine().workers().drain();
    EXPECT_EQ(Kinds(TakeNotifications(pal_)), std::vector<uint32_t>{kPalNotifyDeviceRemoval});
    EXPECT_EQ(log.take_events(), std::vector<uint32_t>{0}) << "device changed";
    std::vector<uint8_t> reply;
    EXPECT_EQ(Dcp(pal_, 0, 2, &reply, {}, 8 + 88).status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(settings().deviceCount, 0u);
    uint64_t periods = log.periods;
    run_ms(20);
    EXPECT_EQ(log.periods, periods) << "no period after the device went";
    root_->remove_client(client);
    EXPECT_EQ(platform::pool::outstanding_bytes(kTagObject), objects);
    EXPECT_EQ(platform::pool::outstanding_bytes(kTagBuffer), buffers);
}

// A second device plugged in and pulled out again while the current one streams: its stream is
// never stopped (it plays every frame of the time that passed), the ramp comes back bit-exact at
// one latency, the client hears of nothing, and the engine still describes the current device's channels.
TEST_F(EngineTest, AnotherDeviceComingAndGoingLeavesTheStreamAlone) {
    plug(VexaModel::CantileQe);
    TestClientLog log;
    log.ramp = true;
    void* client = stream_with_client(&log, 30);
    BusSettingsBlock before = settings();
    ASSERT_EQ(before.sampleRate, 48000u);
    platform::Clock& clock = root_->machine().clock();
    uint64_t startMs = clock.now() / platform::kTicksPerMillisecond;
    uint64_t startFrames = device(0).playback_frames();

    plug(VexaModel::CantileQk);
    run_ms(30);
    EXPECT_EQ(settings().deviceCount, 2u);
    EXPECT_EQ(settings().currentDeviceId, before.currentDeviceId);
    ASSERT_TRUE(root_->ports().unplug(2));
    run_ms(30);
    root_->machine().workers().drain();
    uint64_t elapsedMs = clock.now() / platform::kTicksPerMillisecond - startMs;
    EXPECT_NEAR(static_cast<double>(device(0).playback_frames() - startFrames), static_cast<double>(elapsedMs * 48), 48.0)
        << "streaming never stopped in " << elapsedMs << " ms";
    EXPECT_EQ(log.take_events(), std::vector<uint32_t>{}) << "nothing changed for the client";
    EXPECT_GE(log.latency, 0) << "the ramp came back";
    EXPECT_EQ(log.mismatches, 0u) << "first at capture frame " << log.firstMismatch;
    BusSettingsBlock after = settings();
    EXPECT_EQ(after.deviceCount, 1u);
    EXPECT_EQ(after.currentDeviceId, before.currentDeviceId);
    EXPECT_EQ(after.outputChannels, before.outputChannels) << "the current device's channels, not none";
    EXPECT_EQ(after.inputChannels, before.inputChannels);
    root_->remove_client(client);
}

// A sixth device is refused: the five stay listed, the current one keeps streaming, no arrival is announced.
TEST_F(EngineTest, SixthDeviceIsRefusedWithoutDisturbingTheOthers) {
    for (int i = 0; i < 5; ++i) plug(i % 2 == 0 ? VexaModel::CantileQe : VexaModel::CantileQk);
    BusSettingsBlock five = settings();
    ASSERT_EQ(five.deviceCount, 5u);
    TestClientLog log;
    void* client = stream_with_client(&log, 10);
    size_t selections = device(0).interface_selections().size();

    plug(VexaModel::CantileQk);
    EXPECT_TRUE(TakeNotifications(pal_).empty());
    BusSettingsBlock after = settings();
    EXPECT_EQ(after.deviceCount, 5u);
    EXPECT_EQ(std::vector<uint64_t>(after.deviceIds, after.deviceIds + 5),
              std::vector<uint64_t>(five.deviceIds, five.deviceIds + 5));
    EXPECT_EQ(device(0).interface_selections().size(), selections) << "streaming was not stopped";
    uint64_t frames = device(0).playback_frames();
    run_ms(10);
    EXPECT_GT(device(0).playback_frames(), frames);
    root_->remove_client(client);
}

// A device whose vendor channel cannot open fails before it is listed: the streaming device is left alone.
TEST_F(EngineTest, FailedArrivalLeavesListedDevicesAlone) {
    plug(VexaModel::CantileQe);
    TestClientLog log;
    void* client = stream_with_client(&log, 10);
    BusSettingsBlock before = settings();
    size_t selections = device(0).interface_selections().size();

    plug(VexaModel::CantileQk, [](VexaInterface& d) {
        platform::device::VendorFaults faults;
        faults.stallCapabilities = true;
        d.set_faults(faults);
    });
    EXPECT_TRUE(TakeNotifications(pal_).empty());
    BusSettingsBlock after = settings();
    EXPECT_EQ(after.deviceCount, 1u);
    EXPECT_EQ(after.currentDeviceId, before.currentDeviceId);
    EXPECT_EQ(after.outputChannels, before.outputChannels);
    EXPECT_EQ(device(0).interface_selections().size(), selections);
    root_->remove_client(client);
}

// The interface's own notification bits travel to the PAL clients with the current device's identity.
TEST_F(EngineTest, DeviceEventReachesPalClients) {
    plug(VexaModel::CantileQe);
    TakeNotifications(pal_);
    device(0).raise_event(0x10);
    run_ms(10);
    root_->machine().workers().drain();
    auto records = TakeNotifications(pal_);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, kPalNotifyDeviceEvent);
    EXPECT_EQ(records[0].param32, 0x10u);
    EXPECT_EQ(records[0].param64, settings().currentDeviceId);
}

// The interface's own faults reach the root driver as the results they are:
// 12 is retried 100 ms apart, a sequence mismatch is resynchronised once, 11
// is final, and a refused clock changes nothing.
TEST_F(EngineTest, FirmwareFaultsThroughTheWholeRoad) {
    plug(VexaModel::CantileQe);
    TakeNotifications(pal_);
    std::vector<uint64_t> calls;
    auto& clock = root_->machine().clock();
    device(0).firmware().set_handler(0, 2, [&](const std::vector<uint8_t>&) {
        calls.push_back(clock.now());
        if (calls.size() <= 2) return platform::device::FirmwareReply{kUsbResultNotReady, {}};
        return platform::device::FirmwareReply{0, std::vector<uint8_t>(88, 7)};
    });
    std::vector<uint8_t> reply;
    EXPECT_EQ(Dcp(pal_, 0, 2, &reply, {}, 8 + 88).status, STATUS_SUCCESS);
    ASSERT_EQ(calls.size(), 3u);
    // 100 ms apart, plus the exchange's own few milliseconds on the bus.
    EXPECT_GE(calls[1] - calls[0], platform::Milliseconds(100));
    EXPECT_LT(calls[1] - calls[0], platform::Milliseconds(110));
    EXPECT_EQ(reply[8], 7);

    device(0).firmware().set_handler(0, 2, [&](const std::vector<uint8_t>&) {
        calls.push_back(clock.now());
        return platform::device::FirmwareReply{kUsbResultNotConnected, {}};
    });
    calls.clear();
    EXPECT_EQ(Dcp(pal_, 0, 2, &reply, {}, 8 + 88).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(calls.size(), 1u) << "11 is not retried";

    platform::device::VendorFaults faults;
    faults.wrongSequence = true;
    device(0).set_faults(faults);
    size_t before = device(0).received().size();
    EXPECT_EQ(Dcp(pal_, 7, 1, &reply, {0}, 8 + 24).status, STATUS_UNSUCCESSFUL);
    std::vector<platform::device::ReceivedCommand> received = device(0).received();
    ASSERT_EQ(received.size() - before, 3u) << "the command, one resynchronisation, one repeat";
    EXPECT_TRUE(received[before + 1].resync);
    device(0).set_faults({});
    EXPECT_EQ(Dcp(pal_, 7, 1, &reply, {0}, 8 + 24).status, STATUS_SUCCESS) << "in step again";

    device(0).clock().refuse_rate_changes(true);
    EXPECT_EQ(Bus(pal_, kDcpBusSetSampleRate, nullptr, 8, U32Data(96000)).status, STATUS_SUCCESS);
    EXPECT_EQ(settings().sampleRate, 48000u);
    EXPECT_EQ(Stored(root_->machine(), u"Sampling Rate"), 48000u) << "nothing written for a refused clock";
    EXPECT_EQ(device(0).clock().rate(), 48000u);
}

// User mode cannot set the device's clock (6/3) through the forwarded DCP
// road: the interface would run at another rate than the engine, the bus
// settings and the registry say. The reads of category 6 still pass.
TEST_F(EngineTest, ClockSetFromUserModeIsRefused) {
    plug(VexaModel::CantileQe);
    std::vector<uint8_t> set(8, 0);
    uint32_t rate = 96000;
    uint16_t clockId = platform::device::kInternalClockId;
    std::memcpy(set.data(), &rate, 4);
    std::memcpy(set.data() + 4, &clockId, 2);
    std::vector<uint8_t> reply;
    EXPECT_EQ(Dcp(pal_, kDcpCategoryClock, kDcpClockSet, &reply, set, 8).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(device(0).clock().rate(), 48000u);
    EXPECT_EQ(settings().sampleRate, 48000u);
    ASSERT_EQ(Dcp(pal_, kDcpCategoryClock, kDcpClockGet, &reply, {}, 8 + 8).status, STATUS_SUCCESS);
    EXPECT_EQ(U32(reply, 8), 48000u);
    // The bus's own command is the road for a rate change.
    EXPECT_EQ(Bus(pal_, kDcpBusSetSampleRate, nullptr, 8, U32Data(96000)).status, STATUS_SUCCESS);
    EXPECT_EQ(device(0).clock().rate(), 96000u);
}

// A clock id above 0xFF whose low byte names a source is no source: the
// device refuses it, and neither the bus settings nor the stored clock take it.
TEST_F(EngineTest, ClockIdAboveAByteIsRefused) {
    plug(VexaModel::CantileQe);
    ASSERT_EQ(settings().clockSource, platform::device::kInternalClockId);
    uint32_t wide = 0x100 | platform::device::kExternalClockId;
    EXPECT_EQ(Bus(pal_, kDcpBusSetClockSource, nullptr, 8, U32Data(wide)).status, STATUS_SUCCESS);
    EXPECT_EQ(settings().clockSource, platform::device::kInternalClockId);
    EXPECT_EQ(Bus(pal_, kDcpBusSetSampleRate, nullptr, 8, U32Data(96000)).status, STATUS_SUCCESS);
    EXPECT_EQ(settings().clockSource, platform::device::kInternalClockId);
    EXPECT_EQ(Stored(root_->machine(), u"Clock Source Index"), platform::device::kInternalClockId);
    // A listed source is taken.
    EXPECT_EQ(Bus(pal_, kDcpBusSetClockSource, nullptr, 8, U32Data(platform::device::kExternalClockId)).status,
              STATUS_SUCCESS);
    EXPECT_EQ(settings().clockSource, platform::device::kExternalClockId);
}

}  // namespace
