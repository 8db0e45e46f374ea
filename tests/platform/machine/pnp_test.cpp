#include <gtest/gtest.h>

#include "platform/kmdf/fx_device.h"
#include "platform/kmdf/wdf.h"
#include "platform/machine/device_interfaces.h"
#include "platform/machine/driver_loader.h"
#include "platform/machine/machine.h"
#include "platform/machine/pnp_manager.h"
#include "platform/machine/work_queue.h"
#include "support/probe.h"

namespace {

using Events = std::vector<std::string>;

constexpr GUID kProbeInterface = {kProbeInterfaceData1, 0x7B1D, 0x4E2A, {0x9F, 0x00, 0x1C, 0x2D, 0x3E, 0x4F, 0x5A, 0x6B}};

std::string D(WDF_POWER_DEVICE_STATE s) { return std::to_string(s); }

class PnpTest : public ::testing::Test {
protected:
    PnpTest() : probe_(VEXA_PROBE_DRIVER) { machine_.drivers().install("VexaProbe", probe_.path()); }

    platform::DevNode* add() { return machine_.pnp().add_node(u"ROOT\\VEXAPROBE\\0000", {u"Root\\VexaProbe"}, "VexaProbe"); }
    bool interface_present() { return !machine_.interfaces().list(kProbeInterface, true).empty(); }

    vexa::test::ProbeImage probe_;
    platform::Machine machine_;
};

// A DriverEntry that fails after creating its framework driver leaves nothing behind: the
// framework deletes its driver (clean-up runs) without calling the unload routine.
TEST_F(PnpTest, FailedDriverEntryDeletesTheFrameworkDriverWithoutUnload) {
    probe_.state().failEntry = STATUS_INSUFFICIENT_RESOURCES;
    platform::DevNode* node = add();
    EXPECT_EQ(node->state, platform::NodeState::Failed);
    EXPECT_EQ(node->lastStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(probe_.state().take(), (Events{"entry", "driver-cleanup"}));
    EXPECT_EQ(machine_.drivers().find("VexaProbe"), nullptr);
}

// A suspend must name a low-power state: D0 or an unspecified state is refused, not passed on.
TEST_F(PnpTest, SuspendToAStateThatIsNoLowPowerStateIsRefused) {
    platform::DevNode* node = add();
    probe_.state().take();
    EXPECT_EQ(machine_.pnp().suspend(*node, PowerDeviceD0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(machine_.pnp().suspend(*node, PowerDeviceUnspecified), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(machine_.pnp().suspend(*node, PowerDeviceMaximum), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(probe_.state().take().empty());
    EXPECT_EQ(node->state, platform::NodeState::Started);
}

// The start sequence and the power state the framework passes at first start.
TEST_F(PnpTest, StartLoadsTheDriverAndRunsTheStartSequence) {
    platform::DevNode* node = add();
    EXPECT_EQ(node->state, platform::NodeState::Started);
    EXPECT_EQ(probe_.state().take(), (Events{"entry", "add", "prepare", "d0entry:" + D(WdfPowerDeviceD3Final)}));
    EXPECT_TRUE(interface_present());
}

// Suspend and resume must pass the target and previous states the driver's power logic depends on.
TEST_F(PnpTest, SuspendAndResumePassTheirPowerStates) {
    platform::DevNode* node = add();
    probe_.state().take();
    const struct {
        DEVICE_POWER_STATE target;
        POWER_ACTION action;
        WDF_POWER_DEVICE_STATE seen;
    } cases[] = {
        {PowerDeviceD1, PowerActionSleep, WdfPowerDeviceD1},
        {PowerDeviceD2, PowerActionSleep, WdfPowerDeviceD2},
        {PowerDeviceD3, PowerActionSleep, WdfPowerDeviceD3},
        {PowerDeviceD3, PowerActionHibernate, WdfPowerDevicePrepareForHibernation},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(machine_.pnp().suspend(*node, c.target, c.action), STATUS_SUCCESS);
        EXPECT_EQ(machine_.pnp().resume(*node), STATUS_SUCCESS);
        EXPECT_EQ(probe_.state().take(), (Events{"d0exit:" + D(c.seen), "d0entry:" + D(c.seen)}));
    }
    // Resuming a device that is running is refused, not repeated.
    EXPECT_EQ(machine_.pnp().resume(*node), STATUS_INVALID_DEVICE_STATE);
}

// Orderly removal powers down to D3 final, releases, deletes, and unloads the driver with its last device.
TEST_F(PnpTest, OrderlyRemovalUnloadsTheDriverAfterItsLastDevice) {
    platform::DevNode* node = add();
    probe_.state().take();
    machine_.pnp().remove(*node);
    EXPECT_EQ(probe_.state().take(), (Events{"d0exit:" + D(WdfPowerDeviceD3Final), "release", "device-cleanup",
                                              "unload", "driver-cleanup"}));
    EXPECT_FALSE(interface_present());
    EXPECT_EQ(machine_.drivers().find("VexaProbe"), nullptr);
}

// Surprise removal tells the driver first; a held release lets a test act while the device object still exists.
TEST_F(PnpTest, SurpriseRemovalCanBeHeldBeforeTheRelease) {
    platform::DevNode* node = add();
    probe_.state().take();
    machine_.pnp().surprise_remove(*node, true);
    EXPECT_EQ(probe_.state().take(), (Events{"surprise", "d0exit:" + D(WdfPowerDeviceD3Final)}));
    EXPECT_FALSE(interface_present());
    machine_.pnp().finish_removal(*node);
    EXPECT_EQ(probe_.state().take(), (Events{"release", "device-cleanup", "unload", "driver-cleanup"}));
}

// A rebalance stops and starts the same device object.
TEST_F(PnpTest, RebalanceReleasesAndPreparesAgain) {
    platform::DevNode* node = add();
    probe_.state().take();
    EXPECT_EQ(machine_.pnp().rebalance(*node), STATUS_SUCCESS);
    EXPECT_EQ(probe_.state().take(), (Events{"d0exit:" + D(WdfPowerDeviceD3Final), "release", "prepare",
                                              "d0entry:" + D(WdfPowerDeviceD3Final)}));
    EXPECT_EQ(node->state, platform::NodeState::Started);
}

// A failed start must undo what preparation built and leave no device or driver behind.
TEST_F(PnpTest, FailedPreparationReleasesAndRemoves) {
    probe_.state().failPrepare = STATUS_INSUFFICIENT_RESOURCES;
    platform::DevNode* node = add();
    EXPECT_EQ(node->state, platform::NodeState::Failed);
    EXPECT_EQ(node->lastStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(probe_.state().take(), (Events{"entry", "add", "prepare", "release", "device-cleanup", "unload",
                                              "driver-cleanup"}));
    EXPECT_FALSE(interface_present());
}

TEST_F(PnpTest, FailedDeviceAddUnloadsTheDriver) {
    probe_.state().failAdd = STATUS_INSUFFICIENT_RESOURCES;
    platform::DevNode* node = add();
    EXPECT_EQ(node->state, platform::NodeState::Failed);
    EXPECT_EQ(probe_.state().take(), (Events{"entry", "add", "unload", "driver-cleanup"}));
}

// Interface arrival and removal reach subscribers in order.
TEST_F(PnpTest, InterfaceSubscribersSeeArrivalAndRemoval) {
    std::vector<bool> seen;
    machine_.interfaces().subscribe([&](const platform::InterfaceRecord& record, bool arrived) {
        if (record.interfaceClass == kProbeInterface) seen.push_back(arrived);
    });
    platform::DevNode* node = add();
    machine_.pnp().remove(*node);
    EXPECT_EQ(seen, (std::vector<bool>{true, false}));
}

// Work items run at PASSIVE_LEVEL on a worker, and removing the device waits for them.
TEST_F(PnpTest, WorkItemsRunAtPassiveAndFinishBeforeTheDeviceGoes) {
    probe_.state().createWorkItemInD0Entry = true;
    platform::DevNode* node = add();
    machine_.workers().drain();
    machine_.pnp().remove(*node);
    EXPECT_EQ(probe_.state().workItemRuns, 1u);
    EXPECT_EQ(probe_.state().workItemIrql, PASSIVE_LEVEL);
}

}  // namespace
