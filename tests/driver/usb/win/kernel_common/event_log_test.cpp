#include <gtest/gtest.h>

#include "source/driver/usb/win/kernel_common/event_log.h"
#include "source/driver/usb/win/kernel_common/messages.h"
#include "support/usb_driver_fixture.h"

namespace {

class EventLogTest : public vexa::test::UsbDriverTest {};

// Every message of the table, rendered from the driver image, with its exact text.
TEST_F(EventLogTest, EveryMessageRendersItsText) {
    const std::pair<uint32_t, const char*> table[] = {
        {0xC0060001, "Failed to create child."},
        {0xC0060002, "Failed to create root device."},
        {0xC0060003, "Driver failed while creating device interface."},
        {0xC0060004, "Driver failed to create queue."},
        {0xC0060005, "Driver failed to initialize PAL client manager."},
        {0xC0060006, "Driver failed to initialize audio client manager."},
        {0xC0060007, "Driver failed to initialize audio engine."},
        {0xC0060008, "Driver failed while queuing a request."},
        {0xC0060009, "Driver is not creating child because it is not unique."},
        {0xC006000A, "Invalid MIDI port number has been passed to driver."},
        {0xC006000B, "No Device found."},
        {0xC006000C, "No sample rate supported by this device."},
        {0xC006000D, "Driver failed to notify interface change with status %2."},
        {0xC006000E, "Driver failed to process DCP notification."},
        {0xC006000F, "Driver failed to open registry."},
        {0xC0060010, "Driver failed to read from registry."},
        {0xC0060011, "Driver failed to write into registry"},
        {0xC0060012, "Driver failed to initialize ASIO client."},
        {0xC0060013, "ASIO buffer size is not in range."},
        {0xC0060014, "Driver failed to load root device."},
        {0xC0060015, "Driver received a NULL pointer."},
        {0xC0060016, "Device does not have any channels."},
        {0xC0060017, "Device does not support this sample rate."},
        {0xC0060018, "Failure occured while opening connection to driver."},
        {0xC0060019, "Driver does not work with low speed devices."},
        {0xC0060020, "Driver failed to load USB device."},
        {0xC0060021, "Driver failed while communicating with hardware."},
        {0xC0060022, "Driver failed while streaming."},
        {0xC0060023, "Failure while loading USB device driver."},
        {0xC0060024, "System does not have enough bandwidth available for this device."},
        {0xC0060025, "Failure while loading driver for WDM device."},
        {0xC0060026, "Failure while adding WDM device."},
        {0xC0060027, "Failure while matching WDM driver API version."},
        {0xC0060028, "Failure while starting WDM device."},
        {0xC0060029, "Failure while loading driver for MIDI device."},
        {0xC0060030, "Failure while adding MIDI device."},
        {0xC0060031, "Failure while matching MIDI driver API version."},
        {0xC0060032, "Failure while starting MIDI device."},
    };
    static_assert(std::size(table) == kMessageCount);
    plug_minimal();
    platform::LoadedDriver* driver = machine_.drivers().find(vexa::test::kUsbService);
    ASSERT_NE(driver, nullptr);
    for (auto& [id, text] : table) LogEvent(&driver->object, kMajorPnp, id, STATUS_UNSUCCESSFUL);
    auto log = events();
    ASSERT_EQ(log.size(), std::size(table));
    for (size_t i = 0; i < log.size(); ++i) {
        EXPECT_EQ(log[i].errorCode, table[i].first);
        EXPECT_EQ(log[i].message, table[i].second) << std::hex << table[i].first;
        EXPECT_EQ(log[i].source, vexa::test::kUsbService);
    }
}

// An entry written against a device object is attributed to that device's driver.
TEST_F(EventLogTest, DeviceObjectEntriesNameTheirDriver) {
    platform::DevNode* node = plug_minimal();
    LogEvent(node->pdo.AttachedDevice, kMajorDeviceControl, MSG_STREAMING_FAILED, 10);
    auto log = events();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].source, vexa::test::kUsbService);
    EXPECT_EQ(log[0].majorFunction, kMajorDeviceControl);
    EXPECT_EQ(log[0].finalStatus, 10);
    EXPECT_EQ(log[0].message, "Driver failed while streaming.");
}

}  // namespace
