// The root driver bound to a stand-in USB function driver that records every
// command: the binding order, the version check, the retry and
// resynchronisation rules, failed arrivals, the callbacks (device and power
// notifications) and device streaming.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/machine/registry.h"
#include "platform/machine/work_queue.h"
#include "source/driver/usb/win/kernel_common/messages.h"
#include "tests/driver/usb/win/vexa_usb_swroot/fake_usb_fixture.h"

namespace {

using namespace vexa::pal;
using namespace vexa::test;
using platform::device::VexaModel;

constexpr uint64_t kMs = 10'000;

using BindingTest = FakeUsbTest;

class BindingOrderTest : public BindingTest, public ::testing::WithParamInterface<VexaModel> {};

// Version check, vendor channel, the configuration, listing (operation mode),
// rate and clock, the stream state mapped, then PAL notification 1; the
// device shows with the model's channels.
TEST_P(BindingOrderTest, ArrivalBindsInOrder) {
    fake_->model = GetParam();
    plug_fake();
    std::vector<uint32_t> keys = Keys(fake_->take());
    ASSERT_GE(keys.size(), 8u);
    EXPECT_EQ(keys[0], Key(kDcpCategoryUsbDevice, kUsbCmdGetInterfaceVersion));
    EXPECT_EQ(keys[1], Key(kDcpCategoryUsbDevice, kUsbCmdOpenVendorChannel));
    EXPECT_EQ(keys[2], Key(0, 2)) << "the configuration read starts with the identity";
    size_t lastRead = IndexOf(keys, Key(8, 2));
    size_t listing = IndexOf(keys, Key(kDcpCategoryUsbDevice, kUsbCmdSetOperationMode));
    size_t setClock = IndexOf(keys, Key(kDcpCategoryClock, kDcpClockSet));
    size_t map = IndexOf(keys, Key(kDcpCategoryUsbDevice, kUsbCmdMapStreamState));
    ASSERT_LT(map, keys.size());
    EXPECT_LT(lastRead, listing);
    EXPECT_LT(listing, setClock);
    EXPECT_LT(setClock, map);
    for (size_t i = 3; i < lastRead; ++i) {
        uint16_t category = static_cast<uint16_t>(keys[i] >> 16);
        EXPECT_TRUE(category >= 5 || (category == kDcpCategoryClock)) << "a configuration read, not " << std::hex << keys[i];
    }
    EXPECT_EQ(Kinds(TakeNotifications(pal_)), std::vector<uint32_t>{kPalNotifyDeviceArrival});

    const auto& band = platform::device::data_sheet(GetParam()).bands[0];
    BusSettingsBlock settings = ReadSettings(pal_);
    EXPECT_EQ(settings.deviceCount, 1u);
    EXPECT_EQ(settings.sampleRate, 48000u);
    EXPECT_EQ(settings.clockSource, 0x28u) << "the stored clock 24 is not listed: the first source";
    EXPECT_EQ(settings.outputChannels, band.outputChannels);
    EXPECT_EQ(settings.inputChannels, band.inputChannels);
    EXPECT_EQ(fake_->rate, 48000u);
}

INSTANTIATE_TEST_SUITE_P(Models, BindingOrderTest, ::testing::Values(VexaModel::CantileQk, VexaModel::CantileQe));

// Only the second word of the version reply counts: up to 0xF002 binds, above it the arrival fails quietly.
TEST_F(BindingTest, VersionCheckReadsTheSecondWord) {
    fake_->versionReply[0] = 0xF002;
    fake_->versionReply[1] = 0xF003;
    plug_fake();
    EXPECT_TRUE(TakeNotifications(pal_).empty()) << "no PAL notification for a failed arrival";
    EXPECT_EQ(ReadSettings(pal_).deviceCount, 0u);
    EXPECT_EQ(events_logged(MSG_ROOT_DEVICE_LOAD_FAILED), std::vector<uint32_t>{uint32_t(STATUS_NO_SUCH_DEVICE)});
    {
        std::lock_guard guard(fake_->lock);
        EXPECT_EQ(fake_->queries, 2u) << "bound, then unbound";
        EXPECT_EQ(fake_->bound.NotificationCallback, nullptr);
        EXPECT_EQ(fake_->bound.ClientDevice, nullptr);
        EXPECT_EQ(fake_->bound.MidiCallback, nullptr);
        EXPECT_EQ(fake_->bound.RealtimeCallback, nullptr);
    }
    EXPECT_EQ(Keys(fake_->take()), std::vector<uint32_t>{Key(kDcpCategoryUsbDevice, kUsbCmdGetInterfaceVersion)});

    root_.machine().pnp().remove(*node_);
    fake_->versionReply[0] = 0xF003;
    fake_->versionReply[1] = 0xF002;
    plug_fake();
    EXPECT_EQ(Kinds(TakeNotifications(pal_)), std::vector<uint32_t>{kPalNotifyDeviceArrival});
    EXPECT_EQ(ReadSettings(pal_).deviceCount, 1u);
}

// A device that fails after it was listed (its stream state cannot be mapped) leaves no trace and is not announced.
TEST_F(BindingTest, ArrivalFailingAfterListingIsUndone) {
    fake_->inject(kDcpCategoryUsbDevice, kUsbCmdMapStreamState, {kUsbResultFailed});
    plug_fake();
    EXPECT_TRUE(TakeNotifications(pal_).empty());
    BusSettingsBlock settings = ReadSettings(pal_);
    EXPECT_EQ(settings.deviceCount, 0u);
    EXPECT_EQ(settings.currentDeviceId, 0u);
    std::lock_guard guard(fake_->lock);
    EXPECT_EQ(fake_->bound.NotificationCallback, nullptr) << "unbound before it was dropped";
}

// Result 12 is retried up to five times, 100 ms apart, and is not resynchronised.
TEST_F(BindingTest, NotReadyIsRetriedFiveTimes) {
    plug_fake();
    fake_->take();
    fake_->inject(0, 2, {kUsbResultNotReady, kUsbResultNotReady});
    std::vector<uint8_t> reply;
    EXPECT_EQ(Dcp(pal_, 0, 2, &reply, {}, 8 + 88).status, STATUS_SUCCESS) << "the third call answered";
    std::vector<FakeUsbCommand> sent = fake_->take();
    ASSERT_EQ(Keys(sent), std::vector<uint32_t>(3, Key(0, 2)));
    EXPECT_EQ(sent[1].time - sent[0].time, 100 * kMs);
    EXPECT_EQ(sent[2].time - sent[1].time, 100 * kMs);

    fake_->inject(0, 2, std::vector<uint32_t>(6, kUsbResultNotReady));
    uint64_t before = root_.machine().clock().now();
    EXPECT_EQ(Dcp(pal_, 0, 2, &reply, {}, 8 + 88).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Keys(fake_->take()), std::vector<uint32_t>(5, Key(0, 2))) << "five calls, no resynchronisation";
    EXPECT_EQ(root_.machine().clock().now() - before, 500 * kMs) << "the fifth 12 is waited for too";
    fake_->inject(0, 2, {});
}

// Results 3, 5 and 10 get one resynchronisation (0/0) and one repeat; 0/0 itself is not repeated.
TEST_F(BindingTest, MismatchesAreResynchronisedOnce) {
    plug_fake();
    std::vector<uint8_t> reply;
    for (uint32_t result : {3u, kUsbResultHeaderMismatch, kUsbResultSequenceMismatch}) {
        fake_->take();
        fake_->inject(7, 1, {result});
        EXPECT_EQ(Dcp(pal_, 7, 1, &reply, {0}, 8 + 24).status, STATUS_SUCCESS) << result;
        EXPECT_EQ(Keys(fake_->take()), (std::vector<uint32_t>{Key(7, 1), Key(0, 0), Key(7, 1)})) << result;
    }
    fake_->inject(7, 1, {kUsbResultSequenceMismatch, kUsbResultSequenceMismatch});
    EXPECT_EQ(Dcp(pal_, 7, 1, &reply, {0}, 8 + 24).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(fake_->take().size(), 3u) << "only one repeat";

    fake_->inject(0, 0, {kUsbResultSequenceMismatch});
    EXPECT_EQ(Dcp(pal_, 0, 0, &reply).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Keys(fake_->take()), std::vector<uint32_t>{Key(0, 0)});
}

// A device notification is re-read on a work item and reaches the PAL clients as kind 32 with the device's identity.
TEST_F(BindingTest, DeviceNotificationReachesPalClients) {
    plug_fake();
    TakeNotifications(pal_);
    uint64_t id = ReadSettings(pal_).currentDeviceId;
    fake_->take();
    EXPECT_EQ(notify_(kNotifyTypeDeviceBits, 0x8), kUsbResultOk);
    root_.machine().workers().drain();
    EXPECT_EQ(Keys(fake_->take()), (std::vector<uint32_t>{Key(6, 4), Key(6, 2)})) << "bit 3: the clock again";
    auto records = TakeNotifications(pal_);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, kPalNotifyDeviceEvent);
    EXPECT_EQ(records[0].param32, 0x8u);
    EXPECT_EQ(records[0].param64, id);

    // Bits outside 2-20 still reach the clients, without a re-read.
    EXPECT_EQ(notify_(kNotifyTypeDeviceBits, 0x00400001), kUsbResultOk);
    root_.machine().workers().drain();
    EXPECT_TRUE(fake_->take().empty());
    records = TakeNotifications(pal_);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].param32, 0x00400001u);
}

// A notification queued before the device went finds no device and does nothing.
TEST_F(BindingTest, QueuedNotificationOutlivedByItsDevice) {
    plug_fake();
    TakeNotifications(pal_);
    // The work item is serialised with the root device: holding its lock keeps it back until after the removal.
    std::unique_lock hold(platform::kmdf::FxDevice::of(root_.root_node().fdo)->sync_lock());
    EXPECT_EQ(notify_(kNotifyTypeDeviceBits, 0x10), kUsbResultOk);
    root_.machine().pnp().surprise_remove(*node_);
    hold.unlock();
    root_.machine().workers().drain();
    EXPECT_EQ(Kinds(TakeNotifications(pal_)), std::vector<uint32_t>{kPalNotifyDeviceRemoval});
}

// Power notifications become client events; value 3 also cuts the device off: later commands answer 11 at once.
TEST_F(BindingTest, PowerNotificationsBecomeClientEvents) {
    plug_fake();
    TestClientLog log;
    void* client = root_.add_client(&log);
    ASSERT_NE(client, nullptr);
    log.take_events();
    EXPECT_EQ(notify_(kNotifyTypePower, kPowerSleeping), kUsbResultOk);
    EXPECT_EQ(notify_(kNotifyTypePower, kPowerBackInD0), kUsbResultOk);
    EXPECT_EQ(notify_(kNotifyTypePower, 1), kUsbResultOk);
    EXPECT_EQ(notify_(kNotifyTypePower, 2), kUsbResultOk);
    EXPECT_EQ(notify_(kNotifyTypePower, 9), kUsbResultBufferTooSmall);
    EXPECT_EQ(log.take_events(), (std::vector<uint32_t>{4, 0, 4}));

    fake_->take();
    EXPECT_EQ(notify_(kNotifyTypePower, kPowerLeftForGood), kUsbResultOk);
    EXPECT_EQ(log.take_events(), std::vector<uint32_t>{4});
    std::vector<uint8_t> reply;
    EXPECT_EQ(Dcp(pal_, 0, 2, &reply, {}, 8 + 88).status, STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(fake_->take().empty()) << "answered 11 without reaching the USB driver";
    root_.remove_client(client);
}

// Streaming start sends the format, maps the state and starts; stop polls the busy flag ten times, 20 ms apart, at most.
TEST_F(BindingTest, StreamingStartAndBoundedStop) {
    plug_fake();
    fake_->take();
    EXPECT_EQ(root_.start_streaming(), STATUS_SUCCESS);
    EXPECT_EQ(Keys(fake_->take()), (std::vector<uint32_t>{Key(kDcpCategoryUsbDevice, kUsbCmdSetStreamFormat),
                                                          Key(kDcpCategoryUsbDevice, kUsbCmdMapStreamState),
                                                          Key(kDcpCategoryUsbDevice, kUsbCmdSetStreaming)}));
    {
        std::lock_guard guard(fake_->lock);
        EXPECT_TRUE(fake_->streaming);
        EXPECT_EQ(fake_->format.sampleRate, 48000u);
        EXPECT_EQ(fake_->format.clockSource, 0x28);
        EXPECT_EQ(fake_->format.operationMode, 2u);
        EXPECT_EQ(fake_->format.periodFrames, 512u);
        EXPECT_EQ(fake_->format.outputChannels, 10u);
        EXPECT_EQ(fake_->format.inputChannels, 10u);
        fake_->busyPolls = 100;
    }
    uint64_t before = root_.machine().clock().now();
    EXPECT_EQ(root_.stop_streaming(), STATUS_SUCCESS);
    std::vector<FakeUsbCommand> sent = fake_->take();
    ASSERT_EQ(sent.size(), 11u);
    EXPECT_EQ(Key(sent[0].category, sent[0].command), Key(kDcpCategoryUsbDevice, kUsbCmdSetStreaming));
    for (size_t i = 1; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].command, kUsbCmdQueryBusy);
        EXPECT_EQ(sent[i].time - (i == 1 ? before : sent[i - 1].time), 20 * kMs);
    }
    EXPECT_FALSE(fake_->streaming);

    // A device that turns idle ends the polling early; a second stop sends nothing.
    EXPECT_EQ(root_.start_streaming(), STATUS_SUCCESS);
    fake_->busyPolls = 1;
    fake_->take();
    EXPECT_EQ(root_.stop_streaming(), STATUS_SUCCESS);
    EXPECT_EQ(fake_->take().size(), 3u);
    EXPECT_EQ(root_.stop_streaming(), STATUS_SUCCESS);
    EXPECT_TRUE(fake_->take().empty());
}

// The first device gets clock 24 when it lists no source and 44100 Hz when it lists no stored rate and reports none.
TEST_F(BindingTest, FirstDeviceFallbacks) {
    root_.machine().registry().set(std::u16string(platform::kServicesKey) + u"\\QUVVexaUSBRoot\\Parameters",
                                   u"Sampling Rate", platform::RegValue::dword(12345));
    // The engine read the value at its start; a fresh root device reads it again.
    root_.restart_root();
    fake_->clockSources.clear();
    fake_->rate = 0;
    plug_fake();
    CloseHandle(pal_);
    pal_ = OpenPal();
    BusSettingsBlock settings = ReadSettings(pal_);
    EXPECT_EQ(settings.sampleRate, 44100u);
    EXPECT_EQ(settings.clockSource, 24u);
    auto stored = root_.machine().registry().get(
        std::u16string(platform::kServicesKey) + u"\\QUVVexaUSBRoot\\Parameters", u"Sampling Rate");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->as_dword(), 44100u) << "the applied rate is stored";
}

}  // namespace
