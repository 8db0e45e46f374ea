#include <gtest/gtest.h>

#include <tuple>

#include "platform/kernel/fault.h"
#include "platform/kmdf/fx_device.h"
#include "platform/machine/device_interfaces.h"
#include "source/driver/usb/win/kernel_common/messages.h"
#include "support/fake_root.h"
#include "support/usb_driver_fixture.h"

namespace {

using vexa::test::FakeRoot;
using Notifications = std::vector<std::pair<ULONG, ULONG>>;

Notifications Seen(FakeRoot& root) {
    Notifications out;
    for (auto& n : root.notifications()) out.emplace_back(n.type, n.value);
    return out;
}

class LifecycleTest : public vexa::test::UsbDriverTest {};

// The device comes up with its interface published and its PnP capabilities as the system expects.
TEST_F(LifecycleTest, DeviceStartsAndPublishesItsInterface) {
    platform::DevNode* node = plug_minimal();
    ASSERT_EQ(node->state, platform::NodeState::Started) << NtStatusName(node->lastStatus);
    auto interfaces = machine_.interfaces().list(GUID_DEVINTERFACE_AUDIODEVICE, true);
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_TRUE(interfaces[0].referenceString.empty());
    const WDF_DEVICE_PNP_CAPABILITIES& caps = platform::kmdf::FxDevice::of(node->fdo)->capabilities();
    EXPECT_EQ(caps.Removable, WdfTrue);
    EXPECT_EQ(caps.SurpriseRemovalOK, WdfTrue);
    EXPECT_EQ(caps.LockSupported, WdfUseDefault);
    EXPECT_EQ(caps.Address, 0xFFFFFFFFu);
    EXPECT_EQ(caps.UINumber, 0xFFFFFFFFu);
}

// Power notifications reach the root exactly when the device's power changes, never at first start.
TEST_F(LifecycleTest, PowerNotificationsFollowTheDevicePower) {
    platform::DevNode* node = plug_minimal();
    FakeRoot root;
    ASSERT_EQ(root.query(&node->pdo), STATUS_SUCCESS);
    EXPECT_TRUE(root.notifications().empty());

    const std::tuple<DEVICE_POWER_STATE, POWER_ACTION, Notifications> cases[] = {
        {PowerDeviceD3, PowerActionSleep, {{2, 4}, {2, 5}}},
        {PowerDeviceD2, PowerActionSleep, {{2, 4}, {2, 5}}},
        {PowerDeviceD1, PowerActionSleep, {{2, 4}, {2, 5}}},
        // Back from hibernation is not back from D1-D3: only the way out is reported.
        {PowerDeviceD3, PowerActionHibernate, {{2, 4}}},
    };
    for (auto& [target, action, expected] : cases) {
        root.clear();
        ASSERT_EQ(machine_.pnp().suspend(*node, target, action), STATUS_SUCCESS);
        ASSERT_EQ(machine_.pnp().resume(*node), STATUS_SUCCESS);
        EXPECT_EQ(Seen(root), expected) << "target " << target;
    }
    root.clear();
    machine_.pnp().remove(*node);
    EXPECT_EQ(Seen(root), (Notifications{{2, 3}}));
}

// A root that answers a power notification with an error hears nothing more until it queries again.
TEST_F(LifecycleTest, NonzeroAnswerSilencesPowerNotificationsUntilTheNextQuery) {
    platform::DevNode* node = plug_minimal();
    FakeRoot root;
    ASSERT_EQ(root.query(&node->pdo), STATUS_SUCCESS);
    root.answer_with(kUsbResultFailed);
    ASSERT_EQ(machine_.pnp().suspend(*node, PowerDeviceD3), STATUS_SUCCESS);
    ASSERT_EQ(machine_.pnp().resume(*node), STATUS_SUCCESS);
    EXPECT_EQ(Seen(root), (Notifications{{2, 4}}));

    root.answer_with(kUsbResultOk);
    root.clear();
    ASSERT_EQ(root.query(&node->pdo), STATUS_SUCCESS);
    ASSERT_EQ(machine_.pnp().suspend(*node, PowerDeviceD3), STATUS_SUCCESS);
    ASSERT_EQ(machine_.pnp().resume(*node), STATUS_SUCCESS);
    EXPECT_EQ(Seen(root), (Notifications{{2, 4}, {2, 5}}));
}

// Low power answers 12 and a removed device 11, neither of which is an event an administrator must see.
TEST_F(LifecycleTest, CommandsInLowPowerAndAfterSurpriseRemovalWriteNoEvent) {
    platform::DevNode* node = plug_minimal();
    FakeRoot root;
    ASSERT_EQ(root.query(&node->pdo), STATUS_SUCCESS);
    ULONG reply[2] = {};
    ULONG64 capacity = sizeof(reply);

    ASSERT_EQ(machine_.pnp().suspend(*node, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(root.command(kDcpCategoryUsbDevice, kUsbCmdGetInterfaceVersion, nullptr, 0, reply, &capacity),
              kUsbResultNotReady);
    // A query in low power is refused too.
    FakeRoot late;
    EXPECT_EQ(late.query(&node->pdo), STATUS_DEVICE_NOT_CONNECTED);
    ASSERT_EQ(machine_.pnp().resume(*node), STATUS_SUCCESS);

    platform::usb::unplug(*node, /*holdRelease=*/true);
    EXPECT_EQ(root.command(kDcpCategoryUsbDevice, kUsbCmdGetInterfaceVersion, nullptr, 0, reply, &capacity),
              kUsbResultNotConnected);
    EXPECT_EQ(root.command(kDcpCategoryGlobal, 1, nullptr, 0, nullptr, nullptr), kUsbResultNotConnected);
    EXPECT_EQ(late.query(&node->pdo), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(events().empty());
    machine_.pnp().finish_removal(*node);
}

// The last query wins: later notifications go to the root that queried last; bad records are refused untouched.
TEST_F(LifecycleTest, QueryAcceptanceRules) {
    platform::DevNode* node = plug_minimal();
    FakeRoot first;
    FakeRoot second;
    ASSERT_EQ(first.query(&node->pdo), STATUS_SUCCESS);
    EXPECT_NE(first.record().CommandEntry, nullptr);
    EXPECT_NE(first.record().CommandContext, nullptr);
    ASSERT_EQ(second.query(&node->pdo), STATUS_SUCCESS);
    ASSERT_EQ(machine_.pnp().suspend(*node, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_TRUE(first.notifications().empty());
    EXPECT_EQ(Seen(second), (Notifications{{2, 4}}));
    ASSERT_EQ(machine_.pnp().resume(*node), STATUS_SUCCESS);

    FakeRoot old;
    old.record().Version = 0x0100;
    EXPECT_EQ(old.query(&node->pdo), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(old.record().CommandEntry, nullptr);

    // A record shorter than the interface would be read and written past its end.
    FakeRoot shortRecord;
    shortRecord.record().Size = kAudioDeviceInterfaceSize - 1;
    EXPECT_EQ(shortRecord.query(&node->pdo), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(shortRecord.record().CommandEntry, nullptr);

    // The refused queries did not replace the accepted one.
    second.clear();
    ASSERT_EQ(machine_.pnp().suspend(*node, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(Seen(second), (Notifications{{2, 4}}));
    ASSERT_EQ(machine_.pnp().resume(*node), STATUS_SUCCESS);
}

// Without memory for its device object the device must not come up half-built.
TEST_F(LifecycleTest, DeviceAddFailsWhenTheDeviceObjectCannotBeAllocated) {
    platform::fault::inject("ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES, 0, 1);
    platform::DevNode* node = plug_minimal();
    EXPECT_EQ(node->state, platform::NodeState::Failed);
    EXPECT_EQ(node->lastStatus, STATUS_INSUFFICIENT_RESOURCES);
    auto log = events();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].errorCode, MSG_USB_DEVICE_LOAD_FAILED);
    EXPECT_EQ(log[0].finalStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(log[0].majorFunction, kMajorPnp);
    EXPECT_EQ(log[0].message, "Driver failed to load USB device.");
    EXPECT_EQ(leaked_bytes(), 0);
}

TEST_F(LifecycleTest, FailedDriverCreationIsLogged) {
    platform::fault::inject("WdfDriverCreate", STATUS_INSUFFICIENT_RESOURCES, 0, 1);
    platform::DevNode* node = plug_minimal();
    EXPECT_EQ(node->state, platform::NodeState::Failed);
    auto log = events();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].errorCode, MSG_USB_DRIVER_LOAD_FAILED);
    EXPECT_EQ(log[0].finalStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(log[0].source, vexa::test::kUsbService);
}

// A rebalance releases the device object; the restart must build a new one, not use the freed one.
TEST_F(LifecycleTest, RestartAfterReleaseRebuildsTheDevice) {
    platform::DevNode* node = plug_minimal();
    ASSERT_EQ(machine_.pnp().rebalance(*node), STATUS_SUCCESS);
    FakeRoot root;
    ASSERT_EQ(root.query(&node->pdo), STATUS_SUCCESS);
    ULONG reply[2] = {};
    ULONG64 capacity = sizeof(reply);
    EXPECT_EQ(root.command(kDcpCategoryUsbDevice, kUsbCmdGetInterfaceVersion, nullptr, 0, reply, &capacity),
              kUsbResultOk);
    EXPECT_EQ(reply[0], kUsbInterfaceVersion);
    machine_.pnp().remove(*node);
    EXPECT_EQ(leaked_bytes(), 0);
}

// Everything the driver allocated comes back by the time it unloads, whichever way the device left.
TEST_F(LifecycleTest, NothingIsLeftInThePoolAfterUnload) {
    for (bool surprise : {false, true}) {
        platform::DevNode* node = plug_minimal();
        FakeRoot root;
        ASSERT_EQ(root.query(&node->pdo), STATUS_SUCCESS);
        ULONG64 capacity = 0;
        root.command(kDcpCategoryUsbDevice, 11, nullptr, 0, nullptr, &capacity);
        if (surprise) {
            platform::usb::unplug(*node);
        } else {
            machine_.pnp().remove(*node);
        }
        EXPECT_EQ(machine_.drivers().find(vexa::test::kUsbService), nullptr);
        EXPECT_EQ(leaked_bytes(), 0) << (surprise ? "surprise removal" : "orderly removal");
    }
}

}  // namespace

namespace {

class PoolTypeTest : public vexa::test::UsbDriverTest {};

// From Windows 6.2 on every allocation must be no-execute; before it the executable pool is all there is.
TEST_F(PoolTypeTest, NoExecutePoolFollowsTheWindowsVersion) {
    for (auto [major, minor, executable] : {std::tuple{6u, 1u, true}, std::tuple{6u, 2u, false}, std::tuple{10u, 0u, false}}) {
        machine_.set_windows_version({major, minor, 0});
        uint64_t before = platform::pool::stats(vexa::test::kTagObject).executableAllocations;
        platform::DevNode* node = plug_minimal();
        ASSERT_EQ(node->state, platform::NodeState::Started);
        uint64_t after = platform::pool::stats(vexa::test::kTagObject).executableAllocations;
        EXPECT_EQ(after > before, executable) << major << "." << minor;
        machine_.pnp().remove(*node);
    }
}

}  // namespace
