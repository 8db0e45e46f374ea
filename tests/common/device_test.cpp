// Devices behind a bus, over the root driver's test image, the real USB
// function driver and simulated interfaces: each model's identity, firmware
// categories and entries; the commands of creation and of every refresh, in
// order; clock and notification hooks from the firmware's own events; two
// interfaces as two devices with their own identities; short and outsized
// firmware replies; devices that fail to come up, and removal.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/machine/work_queue.h"
#include "support/library_fixture.h"

namespace {

using namespace vexa::test;
using namespace mrak::vexa;
using namespace ::vexa::pal;
using platform::device::FirmwareReply;
using platform::device::VexaModel;
using Hooks = std::vector<std::string>;
using Sent = std::vector<SentCommand>;

class DeviceTest : public RootLibraryTest {
protected:
    // An open bus with the devices the root driver lists, as the system fills it before attaching it.
    BusRef filled_bus() {
        BusRef bus = open_bus();
        bus->refresh();
        bus->update_devices();
        return bus;
    }
    reference<RecordingDevice> device_at(RecordingBus& bus, size_t index) {
        std::vector<uint64_t> ids = bus.ids();
        EXPECT_LT(index, ids.size());
        return index < ids.size() ? bus.find_device(ids[index]) : reference<RecordingDevice>();
    }
    // Lets the firmware's interrupt reach the root driver and its notification go out.
    void deliver_events() {
        run_ms(10);
        root_.machine().workers().drain();
    }
};

// A Cantile-QE: its identity from DCP 0/2, categories 1 to 4 with their blocks, three category-4 entries.
TEST_P(DeviceTest, CantileQeIdentityCategoriesAndEntries) {
    plug(VexaModel::CantileQe);
    BusRef bus = filled_bus();
    auto device = device_at(*bus, 0);
    ASSERT_TRUE(device);
    DeviceInfo info = device->info();
    EXPECT_EQ(info.model_name(), "Cantile-QE");
    EXPECT_EQ(info.product_id(), 0x802Cu);
    EXPECT_EQ(info.serial_number(), 1u);
    EXPECT_EQ(info.firmware_version(), platform::device::data_sheet(VexaModel::CantileQe).firmwareVersion);
    for (uint16_t category = 1; category <= 4; ++category) {
        EXPECT_TRUE(device->has_category(category)) << category;
        std::vector<uint8_t> block = device->category_block(category);
        ASSERT_EQ(block.size(), 4u * category);
        EXPECT_EQ(block[0], category * 16) << category;
    }
    auto entries = device->category4_entries();
    ASSERT_EQ(entries.size(), 3u);
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(std::string(entries[i].data()), "Preset slot " + std::to_string(i) + " (factory)");
        EXPECT_EQ(entries[i][23], '\0');
    }
    EXPECT_EQ(device->nickname(), "Temporary Nickname");
}

// A Cantile-QK: its own identity, categories 1 and 2 only, no entries.
TEST_P(DeviceTest, CantileQkIdentityAndCategories) {
    plug(VexaModel::CantileQk);
    BusRef bus = filled_bus();
    auto device = device_at(*bus, 0);
    ASSERT_TRUE(device);
    EXPECT_EQ(device->info().model_name(), "Cantile-QK");
    EXPECT_EQ(device->info().firmware_version(), platform::device::data_sheet(VexaModel::CantileQk).firmwareVersion);
    EXPECT_TRUE(device->has_category(1));
    EXPECT_TRUE(device->has_category(2));
    EXPECT_FALSE(device->has_category(3));
    EXPECT_FALSE(device->has_category(4));
    EXPECT_TRUE(device->category_block(3).empty());
    EXPECT_TRUE(device->category4_entries().empty());
    EXPECT_EQ(DeviceInfo{}.model_name(), "N/A") << "a zero identity names no model";
}

// Creation sends its commands in the firmware's order; each refresh reads what its bits ask, in order.
TEST_P(DeviceTest, CreationAndRefreshCommandsInOrder) {
    plug(VexaModel::CantileQe);
    BusRef bus = open_bus();
    bus->refresh();
    uint64_t id = bus->record().settings.deviceIds[0];
    bus->take_sent();
    ASSERT_TRUE(bus->update_devices());
    Sent creation = {{id, 0, 2}, {id, 0, 1}, {id, 1, 0}, {id, 0, 1}, {id, 2, 0}, {id, 0, 1}, {id, 3, 0},
                     {id, 0, 1}, {id, 4, 0}, {id, 4, 1}, {id, 4, 1}, {id, 4, 1}, {id, 6, 4}, {id, 6, 2},
                     {id, 6, 5}};
    EXPECT_EQ(bus->take_sent(), creation);

    auto device = bus->find_device(id);
    auto& firmware = *root_.ports().ports()[0].device;
    size_t before = firmware.received().size();
    struct Row {
        uint32_t bits;
        Sent sent;
    };
    std::vector<Row> table = {
        {0, {}},
        {kDeviceChangeClock, {{id, 6, 2}, {id, 6, 5}}},
        {kDeviceChangeClockStatus, {{id, 6, 4}, {id, 6, 2}, {id, 6, 5}}},
        {kDeviceChangeClock | kDeviceChangeClockStatus, {{id, 6, 4}, {id, 6, 2}, {id, 6, 5}}},
        {1u << 21, {}},
        {0x00001F00, {}},
        {kDeviceChangeClock | (1u << 21), {{id, 6, 2}, {id, 6, 5}}},
    };
    for (const Row& row : table) {
        device->refresh(row.bits);
        EXPECT_EQ(bus->take_sent(), row.sent) << std::hex << row.bits;
    }
    // What reached the firmware itself (6/2 is the USB function driver's own), in order.
    auto received = firmware.received();
    std::vector<std::pair<uint16_t, uint16_t>> reached;
    for (size_t i = before; i < received.size(); ++i) {
        if (!received[i].resync) reached.emplace_back(received[i].category, received[i].command);
    }
    EXPECT_EQ(reached, (std::vector<std::pair<uint16_t, uint16_t>>{{6, 5}, {6, 4}, {6, 5}, {6, 4}, {6, 5}, {6, 5}}));
}

// The first update raises clock_status_changed from all ones; the firmware's events then raise
// clock_status_changed with the previous status, and device_notification with the upper bits alone.
TEST_P(DeviceTest, FirmwareEventsRaiseDeviceHooks) {
    auto& port = plug(VexaModel::CantileQe);
    BusRef bus = filled_bus();
    uint64_t id = bus->ids().at(0);
    std::string prefix = "device " + std::to_string(id) + " ";
    log_.take();
    bus->devices_updated();
    EXPECT_EQ(log_.take(), (Hooks{"devices_updated", prefix + "clock_status_changed 4294967295"}));
    EXPECT_EQ(bus->find_device(id)->clock().clockStatus, 1u);

    port.device->firmware().set_clock_status(0);
    port.device->raise_event(kDeviceChangeClockStatus | (1u << 21) | (1u << 30));
    deliver_events();
    ASSERT_TRUE(log_.wait_for(prefix + "device_notification " + std::to_string((1u << 21) | (1u << 30))));
    EXPECT_EQ(log_.take(), (Hooks{"device_notification " + std::to_string(id) + " " +
                                      std::to_string(kDeviceChangeClockStatus | (1u << 21) | (1u << 30)),
                                  "devices_updated", prefix + "clock_status_changed 1",
                                  prefix + "device_notification " + std::to_string((1u << 21) | (1u << 30))}));

    // Bits 2 and 21: the setting is re-read, the status is not; only the notification is raised.
    port.device->raise_event(kDeviceChangeClock | (1u << 21));
    deliver_events();
    ASSERT_TRUE(log_.wait_for(prefix + "device_notification " + std::to_string(1u << 21)));
    EXPECT_EQ(bus->find_device(id)->clock().clockStatus, 0u);
    Hooks hooks = log_.take();
    EXPECT_EQ(std::count_if(hooks.begin(), hooks.end(),
                            [](const std::string& h) { return h.find("clock_status_changed") != std::string::npos; }),
              0);
}

// Two interfaces: two devices sorted by id, each with its own identity (commands go to the device
// their target names, not to the current one).
TEST_P(DeviceTest, TwoInterfacesAreTwoDevices) {
    plug(VexaModel::CantileQe);
    plug(VexaModel::CantileQk);
    BusRef bus = filled_bus();
    std::vector<uint64_t> ids = bus->ids();
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_LT(ids[0], ids[1]);
    auto first = bus->find_device(ids[0]);
    auto second = bus->find_device(ids[1]);
    EXPECT_EQ(first->info().model_name(), "Cantile-QE");
    EXPECT_EQ(first->info().serial_number(), 1u);
    EXPECT_EQ(second->info().model_name(), "Cantile-QK");
    EXPECT_EQ(second->info().serial_number(), 2u);
    EXPECT_TRUE(first->has_category(4));
    EXPECT_FALSE(second->has_category(4));
    EXPECT_EQ(second->category4_entries().size(), 0u);
}

// A firmware reply shorter than asked is zero-filled: the request's own bytes behind it never show.
TEST_P(DeviceTest, ShortFirmwareReplyIsZeroFilled) {
    auto& port = plug(VexaModel::CantileQe);
    port.device->firmware().set_handler(0, 2, [](const std::vector<uint8_t>&) { return FirmwareReply{0, {0x5A}}; });
    BusRef bus = filled_bus();
    DeviceInfo info = bus->find_device(bus->ids().at(0))->info();
    EXPECT_EQ(info.bytes[0], 0x5A);
    for (size_t i = 1; i < info.bytes.size(); ++i) EXPECT_EQ(info.bytes[i], 0) << i;
    EXPECT_EQ(info.model_name(), "N/A");
}

// A category-4 count beyond reason is bounded: 64 entries are read, not four billion.
TEST_P(DeviceTest, CategoryFourCountIsBounded) {
    auto& port = plug(VexaModel::CantileQe);
    port.device->firmware().set_handler(4, 0, [](const std::vector<uint8_t>&) {
        std::vector<uint8_t> block(16, 0);
        uint32_t count = 0xFFFFFFFF;
        std::memcpy(block.data() + 4, &count, sizeof(count));
        return FirmwareReply{0, block};
    });
    port.device->firmware().set_handler(4, 1, [](const std::vector<uint8_t>&) {
        return FirmwareReply{0, std::vector<uint8_t>(24, 'x')};
    });
    BusRef bus = filled_bus();
    auto device = bus->find_device(bus->ids().at(0));
    auto entries = device->category4_entries();
    EXPECT_EQ(entries.size(), kMaxCategory4Entries);
    EXPECT_EQ(std::string(entries.back().data()), std::string(23, 'x'));
}

// A device's command before create throws instead of reaching for a bus it does not have.
TEST_P(DeviceTest, CommandBeforeCreateThrows) {
    reference<RecordingDevice> device(new RecordingDevice, 0);
    uint32_t value = 0;
    uint64_t length = sizeof(value);
    try {
        device->dcp_cmd(6, 4, nullptr, 0, &value, &length);
        FAIL();
    } catch (const xptn_internal& e) {
        EXPECT_EQ(e.where(), "mrak::vexa::device::dcp_cmd: \"!m_owner\"");
        EXPECT_EQ(e.file(), "..\\..\\common\\mrak_vexa_pal_device");
    }
    EXPECT_FALSE(device->owner());
}

// One device that cannot come up keeps the other out of nothing: it is reported, the other is listed.
TEST_P(DeviceTest, OneFailingDeviceDoesNotKeepTheOthersOut) {
    plug(VexaModel::CantileQe);
    auto& broken = plug(VexaModel::CantileQk);
    broken.device->firmware().remove_handler(0, 1);
    BusRef bus = open_bus();
    bus->refresh();
    EXPECT_TRUE(bus->update_devices());
    ASSERT_EQ(bus->ids().size(), 1u);
    EXPECT_EQ(bus->find_device(bus->ids()[0])->info().model_name(), "Cantile-QE");
    Hooks hooks = log_.take();
    EXPECT_NE(std::find(hooks.begin(), hooks.end(), "on_exception xptn_driver_locked->xptn_driver 360"), hooks.end());
}

// An interface pulled out: its device is told it is detached and leaves the list; a copy the
// application kept stays valid, and so does the bus it names.
TEST_P(DeviceTest, RemovalDetachesTheDevice) {
    plug(VexaModel::CantileQe);
    plug(VexaModel::CantileQk);
    BusRef bus = filled_bus();
    std::vector<uint64_t> ids = bus->ids();
    auto kept = bus->find_device(ids[0]);
    log_.take();
    root_.ports().unplug(1);
    ASSERT_TRUE(log_.wait_for("devices_changed"));
    Hooks hooks = log_.take();
    EXPECT_NE(std::find(hooks.begin(), hooks.end(), "device " + std::to_string(ids[0]) + " detached"), hooks.end());
    EXPECT_EQ(bus->ids(), (std::vector<uint64_t>{ids[1]}));
    EXPECT_EQ(kept->info().model_name(), "Cantile-QE") << "the application's copy outlives the entry";
    EXPECT_EQ(kept->owner().get(), bus.get());
    bus.release();
    EXPECT_EQ(kept->owner()->path(), pal_path()) << "the bus lives while a device of it is held";
}

INSTANTIATE_TEST_SUITE_P(Roads, DeviceTest, ::testing::Values(LibraryRoad::Local, LibraryRoad::Socket),
                         LibraryRoadName);

}  // namespace
