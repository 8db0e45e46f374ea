// The notification thread against the root driver's test image, on both
// roads: each kind of PalNotification running its sequence of operations, an
// unknown kind and throwing hooks reaching on_exception with the thread still
// serving, records kept while the thread cannot take the lock delivered in
// order, setters whose values arrive with the notification, and a bus closed
// from its own hook.
#include <gtest/gtest.h>

#include "support/library_fixture.h"

namespace {

using namespace vexa::test;
using namespace mrak::vexa;
using namespace ::vexa::pal;
using Hooks = std::vector<std::string>;

class BusNotificationTest : public RootLibraryTest {
protected:
    // An open bus whose first update (with its starting set of hooks) is behind it.
    BusRef settled_bus() {
        BusRef bus = open_bus();
        root_.notify(kPalNotifyBusChanged);
        EXPECT_TRUE(log_.wait_for("buffer_size_max_changed"));
        log_.take();
        return bus;
    }
    // Sends a notification and waits for the last step it should run.
    // The thread is done with what it was given and waits again (its wait is out).
    void idle() { EXPECT_TRUE(WaitForPendingRequests(1, false, true)); }
    Hooks run(uint32_t kind, const std::string& last, uint64_t param64 = 0, uint32_t param32 = 0) {
        root_.notify(kind, param64, param32);
        EXPECT_TRUE(log_.wait_for(last)) << kind;
        return log_.take();
    }
};

// Arrival, removal, bus change and device event each run their own sequence.
TEST_P(BusNotificationTest, EachKindRunsItsSequence) {
    BusRef bus = settled_bus();
    EXPECT_EQ(run(kPalNotifyDeviceArrival, "devices_updated"),
              (Hooks{"refresh", "update_devices", "update", "devices_changed", "devices_updated"}));
    EXPECT_EQ(run(kPalNotifyDeviceRemoval, "devices_changed"),
              (Hooks{"refresh", "update_devices", "update", "devices_changed"}));
    EXPECT_EQ(run(kPalNotifyBusChanged, "update"), (Hooks{"refresh", "update"}));
    EXPECT_EQ(run(kPalNotifyDeviceEvent, "devices_updated", 77, 0x200000),
              (Hooks{"device_notification 77 2097152", "devices_updated"}))
        << "an id the bus does not list is ignored";
}

// An unknown kind reaches on_exception as an xptn_internal (line 543); the thread keeps serving.
TEST_P(BusNotificationTest, UnknownKindReachesOnException) {
    BusRef bus = settled_bus();
    EXPECT_EQ(run(4, "on_exception xptn_internal->mrak::exception::base 543"),
              Hooks{"on_exception xptn_internal->mrak::exception::base 543"});
    EXPECT_EQ(run(kPalNotifyBusChanged, "update"), (Hooks{"refresh", "update"}));
    EXPECT_TRUE(bus->alive());
}

// A hook that throws a library error hands it to on_exception; any other error becomes an
// xptn_internal (line 557); either way the next notification is served, and raises the change again.
TEST_P(BusNotificationTest, ThrowingHooksReachOnException) {
    BusRef bus = open_bus();
    bus->throw_on_rate(true);
    root_.notify(kPalNotifyBusChanged);
    ASSERT_TRUE(log_.wait_for("on_exception xptn_internal->mrak::exception::base 1"));
    idle();
    bus->throw_on_rate(false);
    bus->throw_foreign_on_rate(true);
    log_.take();
    root_.notify(kPalNotifyBusChanged);
    ASSERT_TRUE(log_.wait_for("on_exception xptn_internal->mrak::exception::base 557"));
    EXPECT_EQ(log_.take(), (Hooks{"refresh", "update", "clock_source_changed", "sample_rate_changed",
                                  "on_exception xptn_internal->mrak::exception::base 557"}))
        << "the update that threw copied nothing, so the changes come again";
    idle();
    bus->throw_foreign_on_rate(false);
    // An on_exception that throws is itself wrapped (line 557) and the thread goes on.
    bus->throw_on_exception(1);
    log_.take();
    root_.notify(4);
    ASSERT_TRUE(log_.wait_for("on_exception xptn_internal->mrak::exception::base 557"));
    EXPECT_EQ(log_.take(), (Hooks{"on_exception xptn_internal->mrak::exception::base 543",
                                  "on_exception xptn_internal->mrak::exception::base 557"}));
    root_.notify(kPalNotifyBusChanged);
    EXPECT_TRUE(log_.wait_for("update"));
    EXPECT_TRUE(bus->alive());
}

// An on_exception that throws again while the thread reports its own error ends the thread; the
// last report (line 567) still reaches the application, and the bus reads as not alive.
TEST_P(BusNotificationTest, ThreadThatCannotReportEnds) {
    BusRef bus = settled_bus();
    bus->throw_on_exception(2);
    root_.notify(4);
    ASSERT_TRUE(log_.wait_for("on_exception xptn_internal->mrak::exception::base 567"));
    EXPECT_EQ(log_.take(), (Hooks{"on_exception xptn_internal->mrak::exception::base 543",
                                  "on_exception xptn_internal->mrak::exception::base 557",
                                  "on_exception xptn_internal->mrak::exception::base 567"}));
    EXPECT_FALSE(bus->alive());
    bus->close();
}

// Records sent while the thread cannot take the lock wait in the root's backlog and arrive in order.
TEST_P(BusNotificationTest, BacklogArrivesInOrder) {
    BusRef bus = settled_bus();
    base::_lock();
    root_.notify(kPalNotifyBusChanged);
    root_.notify(4);
    root_.notify(kPalNotifyDeviceEvent, 5, 0x400000);
    root_.notify(kPalNotifyDeviceRemoval);
    EXPECT_TRUE(log_.entries().empty()) << "nothing runs without the lock";
    base::unlock();
    ASSERT_TRUE(log_.wait_for("devices_changed"));
    EXPECT_EQ(log_.take(), (Hooks{"refresh", "update", "on_exception xptn_internal->mrak::exception::base 543",
                                  "device_notification 5 4194304", "devices_updated", "refresh", "update_devices",
                                  "update", "devices_changed"}));
}

// A setter only sends: its value arrives with the root driver's bus-changed notification, whose
// refresh and update the thread runs (here held back by the test's hold of the lock).
TEST_P(BusNotificationTest, SettersAreSeenOnlyAfterTheNotification) {
    plug(platform::device::VexaModel::CantileQe);
    BusRef bus = settled_bus();
    EXPECT_EQ(bus->sample_rate(), 48000u);
    EXPECT_EQ(bus->buffer_size(), 512u);
    struct Row {
        std::function<void()> set;
        std::string hook;
        std::function<bool()> seen;
    };
    std::vector<Row> table = {
        {[&] { bus->set_buffer_size(256); }, "buffer_size_changed", [&] { return bus->buffer_size() == 256; }},
        {[&] { bus->set_operation_mode(3); }, "operation_mode_changed", [&] { return bus->operation_mode() == 3; }},
        {[&] { bus->set_sample_rate(96000); }, "sample_rate_changed", [&] { return bus->sample_rate() == 96000; }},
    };
    for (Row& row : table) {
        base::_lock();
        row.set();
        EXPECT_FALSE(row.seen()) << row.hook << ": not before the notification is processed";
        base::unlock();
        ASSERT_TRUE(log_.wait_for(row.hook));
        EXPECT_TRUE(row.seen()) << row.hook;
        log_.take();
    }
}

// A hook that closes its own bus asks the thread to stop without waiting for itself; nothing hangs.
TEST_P(BusNotificationTest, CloseFromTheNotificationThread) {
    BusRef bus = open_bus();
    ThreadEnd threadEnd;
    bus->close_in_hook(&threadEnd);
    root_.notify(kPalNotifyBusChanged);
    ASSERT_TRUE(log_.wait_for("buffer_size_max_changed"));
    ASSERT_TRUE(threadEnd.wait()) << "the thread ends on its own once the hook returns";
    EXPECT_FALSE(bus->alive());
    EXPECT_THROW(bus->refresh(), xptn_device);
    bus->open();  // and it opens again with a new thread
    EXPECT_TRUE(WaitForPendingRequests(1, false, true));
    log_.take();
    root_.notify(kPalNotifyBusChanged);
    EXPECT_TRUE(log_.wait_for("update"));
}

// A hook that lets go of the application's last reference: the bus is deleted on its own thread
// once the dispatch is over, never under it, and the thread ends without touching it again.
TEST_P(BusNotificationTest, LastReferenceDroppedInAHook) {
    BusRef bus = open_bus();
    ThreadEnd threadEnd;
    bus->drop_in_hook(&bus, &threadEnd);
    root_.notify(kPalNotifyBusChanged);
    ASSERT_TRUE(log_.wait_for("bus deleted"));
    ASSERT_TRUE(threadEnd.wait()) << "the thread ends on its own";
    Hooks hooks = log_.take();
    EXPECT_EQ(hooks.back(), "bus deleted");
    EXPECT_NE(std::find(hooks.begin(), hooks.end(), "buffer_size_max_changed"), hooks.end())
        << "the update ran to its end first";
    EXPECT_FALSE(bus);
    EXPECT_EQ(PendingRequests(), 0u) << "no wait of it is left";
}

INSTANTIATE_TEST_SUITE_P(Roads, BusNotificationTest, ::testing::Values(LibraryRoad::Local, LibraryRoad::Socket),
                         LibraryRoadName);

}  // namespace
