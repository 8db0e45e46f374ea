// event_bus and event_device over the root driver's test image, the real USB
// function driver and a simulated Cantile-QE, on both roads: which hooks
// reach the listeners (once, with their arguments) and which do not, the
// devices updated before the listeners hear of it, the holds a listener
// keeps, and listeners that go or remove themselves while hooks run.
#include <gtest/gtest.h>

#include <memory>

#include "panel_recorders.h"
#include "support/library_fixture.h"

namespace {

using namespace vexa::test;
using namespace mrak::vexa;
using cpl::test::BusRecorder;
using cpl::test::CountedBus;
using cpl::test::DeviceRecorder;
using platform::device::VexaModel;
using Hooks = std::vector<std::string>;
using EventBusRef = reference<event_bus>;

class EventForwardingTest : public RootLibraryTest {
protected:
    EventForwardingTest() { port_ = plug(VexaModel::CantileQe).number; }

    // Opened, read and filled as the system fills a bus, with its notification thread parked.
    EventBusRef filled_bus(event_bus* made = nullptr) {
        size_t before = PendingRequests(true);
        EventBusRef bus(made != nullptr ? made : new event_bus, 0);
        bus->create(nullptr, pal_path());
        bus->open();
        bus->refresh();
        bus->update_devices();
        EXPECT_TRUE(WaitForPendingRequests(before + 1, false, true));
        return bus;
    }
    unsigned port_ = 0;

    static reference<event_device> first_device(event_bus& bus) {
        lock_scope hold;
        return bus.empty() ? reference<event_device>() : reference<event_device>(bus.front().get(), 0);
    }
};

// Each bus hook: forwarded once under its own name with its arguments, or (clock source, the
// first reserved flag, the first two spares, progress, on_exception) not at all.
TEST_P(EventForwardingTest, BusForwardingMatrix) {
    EventBusRef bus = filled_bus();
    BusRecorder listener(&log_);
    bus->add_listener(&listener);
    EXPECT_EQ(log_.take(), Hooks{"bus attach"});

    struct Row {
        const char* hook;
        std::function<void(event_bus&)> raise;
        Hooks expected;
    };
    auto same = [](const char* name) { return Hooks{std::string("bus ") + name}; };
    const Row rows[] = {
        {"client_count_changed", [](event_bus& b) { b.client_count_changed(); }, same("client_count_changed")},
        {"single_asio_client_changed", [](event_bus& b) { b.single_asio_client_changed(); },
         same("single_asio_client_changed")},
        {"reserved_flag1_changed", [](event_bus& b) { b.reserved_flag1_changed(); }, {}},
        {"reserved_flag2_changed", [](event_bus& b) { b.reserved_flag2_changed(); }, same("reserved_flag2_changed")},
        {"reserved_flag3_changed", [](event_bus& b) { b.reserved_flag3_changed(); }, same("reserved_flag3_changed")},
        {"reserved_flag4_changed", [](event_bus& b) { b.reserved_flag4_changed(); }, same("reserved_flag4_changed")},
        {"reserved_flag5_changed", [](event_bus& b) { b.reserved_flag5_changed(); }, same("reserved_flag5_changed")},
        {"sample_rate_changed", [](event_bus& b) { b.sample_rate_changed(); }, same("sample_rate_changed")},
        {"devices_changed", [](event_bus& b) { b.devices_changed(); }, same("devices_changed")},
        {"current_device_changed", [](event_bus& b) { b.current_device_changed(); }, same("current_device_changed")},
        {"operation_mode_changed", [](event_bus& b) { b.operation_mode_changed(); }, same("operation_mode_changed")},
        {"buffer_size_changed", [](event_bus& b) { b.buffer_size_changed(); }, same("buffer_size_changed")},
        {"buffer_size_max_changed", [](event_bus& b) { b.buffer_size_max_changed(); },
         same("buffer_size_max_changed")},
        {"buffer_size_min_changed", [](event_bus& b) { b.buffer_size_min_changed(); },
         same("buffer_size_min_changed")},
        {"spare_notification_1", [](event_bus& b) { b.spare_notification_1(); }, {}},
        {"spare_notification_2", [](event_bus& b) { b.spare_notification_2(); }, {}},
        {"spare_notification_3", [](event_bus& b) { b.spare_notification_3(); }, same("spare_notification_3")},
        {"spare_notification_4", [](event_bus& b) { b.spare_notification_4(7, 0xFFFFFFFF); },
         Hooks{"bus spare_notification_4 7 4294967295"}},
        {"clock_source_changed", [](event_bus& b) { b.clock_source_changed(); }, {}},
        {"progress", [](event_bus& b) { b.progress(50, 1); }, {}},
        {"on_exception",
         [](event_bus& b) { b.on_exception(make_xptn<xptn_internal>("test", 1, "on_exception")); }, {}},
    };
    for (const Row& row : rows) {
        row.raise(*bus);
        EXPECT_EQ(log_.take(), row.expected) << row.hook;
    }
    bus->remove_listener(&listener);
}

// Each device hook: forwarded once with its mask or both values, the clock status without its
// previous value; the never-raised spares 1, 4 and 6 reach nobody.
TEST_P(EventForwardingTest, DeviceForwardingMatrix) {
    EventBusRef bus = filled_bus();
    reference<event_device> device = first_device(*bus);
    ASSERT_TRUE(device);
    DeviceRecorder listener(&log_);
    device->add_listener(&listener);
    EXPECT_EQ(log_.take(), Hooks{"device attach"});

    struct Row {
        const char* hook;
        std::function<void(event_device&)> raise;
        Hooks expected;
    };
    const Row rows[] = {
        {"spare_hook_1", [](event_device& d) { d.spare_hook_1(); }, {}},
        {"spare_hook_2", [](event_device& d) { d.spare_hook_2(); }, {"device spare_hook_2"}},
        {"spare_hook_3", [](event_device& d) { d.spare_hook_3(); }, {"device spare_hook_3"}},
        {"spare_hook_4", [](event_device& d) { d.spare_hook_4(); }, {}},
        {"spare_hook_5", [](event_device& d) { d.spare_hook_5(); }, {"device spare_hook_5"}},
        {"spare_hook_6", [](event_device& d) { d.spare_hook_6(); }, {}},
        {"clock_status_changed", [](event_device& d) { d.clock_status_changed(1); }, {"device clock_status_changed"}},
        {"spare_hook_7", [](event_device& d) { d.spare_hook_7(0, 0xFFFFFFFF); }, {"device spare_hook_7 0 4294967295"}},
        {"device_notification", [](event_device& d) { d.device_notification(0xFFE00000); },
         {"device device_notification 4292870144"}},
    };
    for (const Row& row : rows) {
        row.raise(*device);
        EXPECT_EQ(log_.take(), row.expected) << row.hook;
    }
    device->remove_listener(&listener);
    EXPECT_EQ(log_.take(), Hooks{"device detach"});
}

// devices_updated: every device updates itself (raising its own hooks) before the bus's listeners hear of it.
TEST_P(EventForwardingTest, DevicesUpdateBeforeListeners) {
    EventBusRef bus = filled_bus();
    reference<event_device> device = first_device(*bus);
    ASSERT_TRUE(device);
    BusRecorder busListener(&log_);
    DeviceRecorder deviceListener(&log_);
    bus->add_listener(&busListener);
    device->add_listener(&deviceListener);
    log_.take();
    bus->devices_updated();  // the first update finds the clock status changed from unknown
    EXPECT_EQ(log_.take(), (Hooks{"device clock_status_changed", "bus devices_updated"}));
    bus->remove_listener(&busListener);
    device->remove_listener(&deviceListener);
}

// A rate set through the driver reaches the listener on the bus's notification thread, once.
TEST_P(EventForwardingTest, DriverNotificationReachesListener) {
    EventBusRef bus = filled_bus();
    bus->update();
    BusRecorder listener(&log_);
    bus->add_listener(&listener);
    log_.take();
    bus->set_sample_rate(96000);
    ASSERT_TRUE(log_.wait_for("bus buffer_size_max_changed"));
    Hooks hooks = log_.take();
    EXPECT_EQ(std::count(hooks.begin(), hooks.end(), "bus sample_rate_changed"), 1);
    EXPECT_EQ(bus->sample_rate(), 96000u);
    bus->remove_listener(&listener);
}

// The same listener twice: listed twice, every hook twice; one removal detaches once and leaves none,
// and the holds on the bus are back where they were.
TEST_P(EventForwardingTest, SameListenerTwice) {
    EventBusRef bus = filled_bus();
    size_t holds = bus->holder_count();
    BusRecorder listener(&log_);
    bus->add_listener(&listener);
    bus->add_listener(&listener);
    EXPECT_EQ(bus->listener_count(), 2u);
    EXPECT_EQ(bus->holder_count(), holds + 1) << "the second attach replaces the first reference";
    bus->buffer_size_changed();
    EXPECT_EQ(log_.take(), (Hooks{"bus attach", "bus attach", "bus buffer_size_changed", "bus buffer_size_changed"}));
    bus->remove_listener(&listener);
    EXPECT_EQ(log_.take(), Hooks{"bus detach"});
    EXPECT_EQ(bus->listener_count(), 0u);
    EXPECT_FALSE(listener.bus);
    EXPECT_EQ(bus->holder_count(), holds);
    bus->buffer_size_changed();
    EXPECT_TRUE(log_.take().empty());
}

// A detach takes every listener's reference and empties the list: a listener destroyed afterwards is
// never called, and attaching the bus again reaches no one.
TEST_P(EventForwardingTest, DetachErasesListeners) {
    EventBusRef bus = filled_bus();
    auto listener = std::make_unique<BusRecorder>(&log_);
    bus->add_listener(listener.get());
    bus->attach();
    EXPECT_EQ(log_.take(), (Hooks{"bus attach", "bus attach"}));
    bus->detach();
    EXPECT_EQ(log_.take(), Hooks{"bus detach"});
    EXPECT_EQ(bus->listener_count(), 0u);
    listener.reset();
    bus->attach();
    bus->sample_rate_changed();
    EXPECT_TRUE(log_.take().empty());
    bus->detach();
}

// A listener destroyed while attached takes itself off first; the bus it held stays for its other holder.
TEST_P(EventForwardingTest, DestroyedListenerLeavesTheList) {
    EventBusRef bus = filled_bus();
    auto listener = std::make_unique<BusRecorder>(&log_);
    bus->add_listener(listener.get());
    listener.reset();
    EXPECT_EQ(bus->listener_count(), 0u);
    bus->operation_mode_changed();
    EXPECT_EQ(log_.take(), Hooks{"bus attach"});
}

// Inside a hook one listener removes itself and destroys another: the walk goes on over what is
// still listed, and neither is called again.
TEST_P(EventForwardingTest, ListenersGoingInsideAHook) {
    EventBusRef bus = filled_bus();
    BusRecorder first(&log_, "first");
    auto second = std::make_unique<BusRecorder>(&log_, "second");
    BusRecorder third(&log_, "third");
    bus->add_listener(&first);
    bus->add_listener(second.get());
    bus->add_listener(&third);
    first.onRate = [&] {
        bus->remove_listener(&first);
        second.reset();
    };
    log_.take();
    bus->sample_rate_changed();
    EXPECT_EQ(log_.take(), (Hooks{"first sample_rate_changed", "first detach", "third sample_rate_changed"}));
    EXPECT_EQ(bus->listener_count(), 1u);
    bus->remove_listener(&third);
}

// The listener's hold is the bus's last one: remove_listener lets it go only when it is done with
// the list, and the bus is deleted once.
TEST_P(EventForwardingTest, RemoveListenerDropsTheLastHold) {
    std::atomic<int> deleted{0};
    EventBusRef bus = filled_bus(new CountedBus(&deleted));
    BusRecorder listener(&log_);
    bus->add_listener(&listener);
    event_bus* raw = bus.get();
    bus.release();
    EXPECT_EQ(deleted.load(), 0) << "the listener holds it";
    raw->remove_listener(&listener);
    EXPECT_EQ(deleted.load(), 1);
    EXPECT_FALSE(listener.bus);
}

// An unplugged interface: its device is detached, which reaches the device's listener.
TEST_P(EventForwardingTest, UnplugDetachesDeviceListener) {
    EventBusRef bus = filled_bus();
    reference<event_device> device = first_device(*bus);
    ASSERT_TRUE(device);
    DeviceRecorder listener(&log_);
    device->add_listener(&listener);
    device.release();
    log_.take();
    root_.ports().unplug(port_);
    ASSERT_TRUE(log_.wait_for("device detach"));
    EXPECT_FALSE(listener.device);
}

INSTANTIATE_TEST_SUITE_P(Roads, EventForwardingTest, ::testing::Values(LibraryRoad::Local, LibraryRoad::Socket),
                         LibraryRoadName);

}  // namespace
