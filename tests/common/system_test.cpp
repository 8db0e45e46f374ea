// The system over the root driver's test image, the real USB function driver
// and simulated interfaces, on both roads: no root device, two of them, a
// rescan that finds its bus listed, root removal and re-arrival, a removal
// and re-arrival at the same path in one wake-up, close, exceptions on the
// arrival/removal thread, each create step's failure, a long interface path,
// and destruction at any moment (right after create, during a scan, under
// the lock, and from the system's own thread).
#include <gtest/gtest.h>

#include "platform/kernel/fault.h"
#include "platform/machine/device_interfaces.h"
#include "platform/machine/logger_driver.h"
#include "support/library_fixture.h"
#include "support/system_doubles.h"

namespace {

using namespace vexa::test;
using namespace mrak::vexa;
using platform::device::VexaModel;
using Hooks = std::vector<std::string>;

constexpr const char16_t* kSecondRoot = u"ROOT\\QUVVexaUSBRoot\\0001";

class SystemTest : public RootLibraryTest {
protected:
    ~SystemTest() override {
        wait_for_releases();
        EXPECT_EQ(g_systemsAlive.load(), 0);
    }

    SystemRef new_system() { return SystemRef(new RecordingSystem(&systemLog_, &log_), 0); }
    SystemRef make_system() {
        SystemRef system = new_system();
        system->create();
        return system;
    }

    // The first present PAL interface, as SetupAPI reports it.
    std::string first_path() { return pal_path(); }

    // A further interface of the root's class on the root device: each
    // change of it wakes the system's thread for a rescan that finds the
    // listed bus (the root's own interface stays the first).
    void toggle_extra_interface() {
        platform::DeviceInterfaces& interfaces = root_.machine().interfaces();
        if (extra_ == 0) extra_ = interfaces.add(GUID_DEVINTERFACE_PAL, &root_.root_node().pdo, u"Extra");
        extraOn_ = !extraOn_;
        interfaces.set_enabled(extra_, extraOn_);
    }

    // Waits until the system's log holds `entry` at least `count` times.
    bool wait_scans(const std::string& entry, size_t count = 1) {
        return systemLog_.wait_until([&] {
            Hooks hooks = systemLog_.entries();
            return static_cast<size_t>(std::count(hooks.begin(), hooks.end(), entry)) >= count;
        });
    }

    HookLog systemLog_;
    uint64_t extra_ = 0;
    bool extraOn_ = false;
};

// No root device: create completes, the scan answers false, changed is not called, no bus is
// listed; the interface arriving later is found by the thread.
TEST_P(SystemTest, NoRootDeviceThenItArrives) {
    root_.remove_root();
    SystemRef system = make_system();
    EXPECT_EQ(systemLog_.take(), (Hooks{"scan false"}));
    EXPECT_EQ(system->bus_count(), 0u);
    root_.add_root(kSecondRoot);
    ASSERT_TRUE(systemLog_.wait_for("changed 1"));
    EXPECT_EQ(systemLog_.take(), (Hooks{"scan true", "changed 1"}));
    std::vector<BusRef> buses = system->buses();
    ASSERT_EQ(buses.size(), 1u);
    EXPECT_EQ(buses[0]->path(), first_path());
    EXPECT_TRUE(buses[0]->alive());
    EXPECT_TRUE(buses[0]->is_attached());
    system->close();
}

// Two root devices: only the first interface becomes the bus; another interface arriving is a
// rescan that finds its bus listed and adds nothing (no changed); when the first root goes,
// the second root's interface becomes the bus.
TEST_P(SystemTest, TwoRootDevicesFirstIsTheBus) {
    std::string first = first_path();
    platform::DevNode& firstRoot = root_.root_node();
    root_.add_root(kSecondRoot);
    SystemRef system = make_system();
    EXPECT_EQ(systemLog_.take(), (Hooks{"scan true", "changed 1"}));
    ASSERT_EQ(system->bus_count(), 1u);
    EXPECT_TRUE(system->find_bus(first));
    toggle_extra_interface();
    ASSERT_TRUE(wait_scans("scan false"));
    EXPECT_EQ(systemLog_.take(), (Hooks{"scan false"}));
    EXPECT_EQ(system->bus_count(), 1u);

    BusRef old = system->find_bus(first);
    root_.machine().pnp().remove(firstRoot);
    ASSERT_TRUE(systemLog_.wait_until([&] {
        std::vector<BusRef> buses = system->buses();
        return buses.size() == 1 && buses[0]->path() != first;
    }));
    EXPECT_EQ(system->buses()[0]->path(), first_path());
    EXPECT_FALSE(old->is_attached());
    system->close();
}

// Root removal: the bus is detached (its devices hear detached) before it leaves the list, and
// changed follows; the application's reference keeps it alive, detached and unlisted.
// Re-arrival adds a new bus, opened and listed, and leaves the old one alone.
TEST_P(SystemTest, RootRemovalDropsTheBusAndReArrivalAddsANewOne) {
    plug(VexaModel::CantileQe);
    SystemRef system = make_system();
    EXPECT_EQ(systemLog_.take(), (Hooks{"scan true", "changed 1"}));
    BusRef bus = system->find_bus(first_path());
    ASSERT_TRUE(bus);
    ASSERT_EQ(bus->ids().size(), 1u);
    std::string device = "device " + std::to_string(bus->ids()[0]) + " ";
    log_.take();

    root_.remove_root();
    ASSERT_TRUE(systemLog_.wait_for("changed 0"));
    Hooks seen = systemLog_.take();
    ASSERT_GE(seen.size(), 2u);
    EXPECT_EQ(Hooks(seen.begin(), seen.begin() + 2), (Hooks{"scan true", "changed 0"}));
    for (size_t i = 2; i < seen.size(); ++i) {
        EXPECT_EQ(seen[i], "scan false") << "the bus's failed wait asks for a rescan too, which finds nothing more";
    }
    Hooks hooks = log_.take();
    EXPECT_NE(std::find(hooks.begin(), hooks.end(), device + "detached"), hooks.end());
    EXPECT_EQ(system->bus_count(), 0u);
    EXPECT_FALSE(system->find_bus(bus->path()));
    EXPECT_FALSE(bus->is_attached());
    EXPECT_FALSE(bus->connected());

    root_.add_root(kSecondRoot);
    ASSERT_TRUE(systemLog_.wait_for("changed 1"));
    std::vector<BusRef> buses = system->buses();
    ASSERT_EQ(buses.size(), 1u);
    EXPECT_NE(buses[0].get(), bus.get());
    EXPECT_TRUE(buses[0]->connected());
    EXPECT_TRUE(log_.wait_until([&] { return buses[0]->ids().size() == 1; })) << "the new root binds to it again";
    EXPECT_FALSE(bus->is_attached());
    system->close();
}

// A removal and a re-arrival at the same path that reach the thread as one wake-up: the path is
// present again, but the listed bus's connection went with the old device, so it is replaced
// (it was kept, dead, for good).
TEST_P(SystemTest, RemovalAndReArrivalAtOnePathReplaceTheBus) {
    SystemRef system = make_system();
    BusRef old = system->find_bus(first_path());
    ASSERT_TRUE(old);
    systemLog_.take();
    base::_lock();  // the thread cannot scan until both changes are in
    root_.remove_root();
    root_.add_root(vexa::machine::kRootInstanceId);
    EXPECT_EQ(first_path(), old->path()) << "the same path";
    base::unlock();
    ASSERT_TRUE(systemLog_.wait_until([&] {
        std::vector<BusRef> buses = system->buses();
        return buses.size() == 1 && buses[0].get() != old.get();
    }));
    BusRef fresh = system->find_bus(old->path());
    EXPECT_TRUE(fresh->connected());
    EXPECT_FALSE(old->is_attached());
    EXPECT_FALSE(old->connected());
    system->close();
}

// Two systems in one process, each with an arrival event of its own: both hear the root device
// come and go, each lists a bus of its own, and closing one leaves the other following.
TEST_P(SystemTest, TwoSystemsFollowTheRootEachOnItsOwn) {
    HookLog otherLog;
    root_.remove_root();
    SystemRef first = make_system();
    SystemRef second(new RecordingSystem(&otherLog, &log_), 0);
    second->create();
    EXPECT_EQ(systemLog_.take(), (Hooks{"scan false"}));
    EXPECT_EQ(otherLog.take(), (Hooks{"scan false"}));

    root_.add_root(kSecondRoot);
    ASSERT_TRUE(systemLog_.wait_for("changed 1"));
    ASSERT_TRUE(otherLog.wait_for("changed 1"));
    std::vector<BusRef> firstBuses = first->buses();
    std::vector<BusRef> secondBuses = second->buses();
    ASSERT_EQ(firstBuses.size(), 1u);
    ASSERT_EQ(secondBuses.size(), 1u);
    EXPECT_NE(firstBuses[0].get(), secondBuses[0].get()) << "each system opens its own bus";

    first->close();
    systemLog_.take();
    otherLog.take();
    root_.remove_root();
    ASSERT_TRUE(otherLog.wait_for("changed 0")) << "the second system still follows";
    EXPECT_EQ(second->bus_count(), 0u);
    EXPECT_EQ(first->bus_count(), 1u) << "the closed one keeps its list as it was";
    second->close();
}

// close detaches and closes every bus, which stays listed; an arrival after it adds nothing.
TEST_P(SystemTest, CloseDetachesAndLaterArrivalsAddNothing) {
    SystemRef system = make_system();
    BusRef bus = system->find_bus(first_path());
    system->close();
    EXPECT_FALSE(system->is_open());
    EXPECT_FALSE(bus->is_attached());
    EXPECT_FALSE(bus->alive());
    EXPECT_EQ(system->bus_count(), 1u);
    systemLog_.take();
    platform::DevNode& firstRoot = root_.root_node();
    root_.add_root(kSecondRoot);
    root_.machine().pnp().remove(firstRoot);
    ASSERT_TRUE(wait_scans("scan false"));
    EXPECT_EQ(system->bus_count(), 1u);
    EXPECT_EQ(system->buses()[0].get(), bus.get());
    EXPECT_FALSE(system->add_bus(first_path()));
    EXPECT_EQ(system->bus_count(), 1u);
}

// A device hook that throws while the system closes: close went no further (the remaining
// buses stayed open and kept raising hooks) and let the exception out. Every bus is detached
// and closed, and the hook's exception reaches on_exception.
TEST_P(SystemTest, CloseClosesEveryBusWhenAHookThrows) {
    plug(VexaModel::CantileQe);
    root_.add_root(kSecondRoot);
    SystemRef system = make_system();
    std::string second;
    {
        HDEVINFO devices = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_PAL, nullptr, nullptr,
                                                DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        second = system_impl::interface_path(devices, 1);
        SetupDiDestroyDeviceInfoList(devices);
    }
    ASSERT_FALSE(second.empty());
    ASSERT_TRUE(system->add_bus(second));
    std::vector<BusRef> buses = system->buses();
    ASSERT_EQ(buses.size(), 2u);
    ASSERT_TRUE(log_.wait_until([&] { return !buses[0]->ids().empty() || !buses[1]->ids().empty(); }));
    systemLog_.take();
    g_detachedThrows = 1;
    EXPECT_NO_THROW(system->close());
    g_detachedThrows = 0;
    EXPECT_EQ(systemLog_.take(), Hooks{"on_exception xptn_device_firmware->xptn_device 9"});
    for (const BusRef& bus : buses) {
        EXPECT_FALSE(bus->is_attached()) << bus->path();
        EXPECT_FALSE(bus->alive()) << bus->path();
    }
    EXPECT_EQ(PendingRequests(), 0u) << "no bus keeps a wait";
}

// Exceptions on the thread reach on_exception and the thread serves later changes: a bus that
// cannot be opened, a foreign exception from changed (as xptn_internal, line 131) and a
// library one from changed (as it is).
TEST_P(SystemTest, ExceptionsOnTheThreadReachOnException) {
    root_.remove_root();
    SystemRef system = make_system();
    systemLog_.take();
    platform::fault::inject("CreateFile", STATUS_ACCESS_DENIED);
    root_.add_root(kSecondRoot);
    ASSERT_TRUE(systemLog_.wait_for("on_exception xptn_driver_access->xptn_driver 148"));
    EXPECT_EQ(system->bus_count(), 0u) << "a bus that did not open is not listed";
    platform::fault::clear();

    toggle_extra_interface();
    ASSERT_TRUE(systemLog_.wait_for("changed 1"));
    EXPECT_EQ(system->bus_count(), 1u);

    system->throw_on_changed();
    root_.remove_root();
    ASSERT_TRUE(systemLog_.wait_for("on_exception xptn_internal->mrak::exception::base 131"));
    system->throw_library_on_changed();
    root_.add_root(vexa::machine::kRootInstanceId);
    ASSERT_TRUE(systemLog_.wait_for("on_exception xptn_device->xptn_driver_access 7"));
    EXPECT_EQ(system->bus_count(), 1u);
    systemLog_.take();
    root_.remove_root();
    ASSERT_TRUE(systemLog_.wait_for("changed 0"));
    system->close();
}

// Each create step that fails throws xptn_resource with its expression and line; what was built
// stays for the destructor, which undoes it.
TEST_P(SystemTest, EachCreateStepFailsWithItsExpressionAndLine) {
    struct Row {
        const char* call;
        uint32_t line;
        const char* expression;
    };
    for (const Row& row : {Row{"CreateEvent", 222, "!static_event_device_arrival_removal"},
                           Row{"CreateThread", 226, "!m_hThread"},
                           Row{"CM_Register_Notification", 265, "!m_hDevNotify"}}) {
        SystemRef system = new_system();
        platform::fault::inject(row.call, STATUS_INSUFFICIENT_RESOURCES);
        try {
            system->create();
            ADD_FAILURE() << row.call << ": no exception";
        } catch (const xptn_resource& e) {
            EXPECT_EQ(e.type(), "xptn_resource->mrak::exception::base") << row.call;
            EXPECT_EQ(e.message(), "System resource exhausted");
            EXPECT_EQ(e.file(), "mrak_vexa_pal_system_usb_win");
            EXPECT_EQ(e.line(), row.line) << row.call;
            EXPECT_EQ(e.where(), std::string("mrak::vexa::system_impl::create: \"") + row.expression + "\"");
        }
        platform::fault::clear();
        EXPECT_EQ(system->bus_count(), 0u) << "no scan after a failed step";
        system->close();
    }
}

// A path longer than a fixed 256-byte buffer holds is read whole and opened (it was skipped
// as if no interface were there).
TEST_P(SystemTest, LongInterfacePathIsReadWhole) {
    root_.remove_root();
    root_.add_root(u"ROOT\\QUVVexaUSBRoot\\" + std::u16string(240, u'L'));
    std::string path = first_path();
    ASSERT_GT(path.size(), 252u);
    SystemRef system = make_system();
    ASSERT_EQ(system->bus_count(), 1u);
    EXPECT_EQ(system->buses()[0]->path(), path);
    EXPECT_TRUE(system->buses()[0]->alive());
    std::string index0;
    {
        HDEVINFO devices = SetupDiGetClassDevsA(&GUID_DEVINTERFACE_PAL, nullptr, nullptr,
                                                DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        index0 = system_impl::interface_path(devices, 0);
        EXPECT_EQ(system_impl::interface_path(devices, 1), "") << "no second interface";
        SetupDiDestroyDeviceInfoList(devices);
    }
    EXPECT_EQ(index0, path);
    system->close();
}

// Destruction right after create and while the thread scans (a change just made), many times:
// the thread ends, the registration is gone, no hook or callback runs after it (a change made
// after the last one reaches nobody).
TEST_P(SystemTest, DestructionRightAfterCreateAndDuringAScan) {
    constexpr int kRounds = 200;
    for (int i = 0; i < kRounds; ++i) {
        SystemRef system = make_system();
        if (i % 2 == 1) toggle_extra_interface();
        system->close();
    }
    EXPECT_EQ(g_systemsAlive.load(), 0);
    systemLog_.take();
    toggle_extra_interface();
    root_.remove_root();
    EXPECT_TRUE(systemLog_.take().empty()) << "nothing of a destroyed system runs";
    EXPECT_EQ(PendingRequests(), 0u) << "every bus's wait went with it";
}

// The application releasing its reference while it holds the lock (the thread polling for it,
// woken by a change): the destructor waits for the thread, which gives up polling (a blocking
// take of the lock deadlocked).
TEST_P(SystemTest, DeletionUnderTheLockEndsThePollingThread) {
    for (int i = 0; i < 20; ++i) {
        SystemRef system = make_system();
        base::_lock();
        toggle_extra_interface();
        system.release();
        base::unlock();
        EXPECT_EQ(g_systemsAlive.load(), 0);
    }
}

// changed lets go of the application's last reference: the system is deleted on its own thread
// once the pass is over (never under it), and the thread ends without touching it again.
TEST_P(SystemTest, LastReferenceDroppedOnTheSystemsThread) {
    SystemRef system = make_system();
    ThreadEnd threadEnd;
    system->drop_in_changed(&system, &threadEnd);
    root_.remove_root();
    ASSERT_TRUE(systemLog_.wait_for("system deleted"));
    ASSERT_TRUE(threadEnd.wait()) << "the thread ends on its own";
    Hooks hooks = systemLog_.take();
    EXPECT_EQ(hooks.back(), "system deleted");
    EXPECT_FALSE(system);
    EXPECT_TRUE(log_.wait_for("bus deleted")) << "its bus went with it";
}

// The application's last reference to a system let go from inside one of its own bus hooks: the
// system is destroyed on the bus's notification thread, which nobody waited for, so the program
// (or the test) could end while the destructor still ran. wait_for_releases waits for that pass
// and joins the thread: when it returns, the system, its bus and the bus's notification thread
// are all gone. (The destructor is held until the wait begins, so it cannot be over by chance.)
TEST_P(SystemTest, SystemLetGoFromABusHookIsWaitedFor) {
    for (int round = 0; round < 3; ++round) {
        SystemRef system = make_system();
        RecordingBus* bus = system->buses().at(0).get();
        std::mutex lock;
        std::condition_variable opened;
        bool open = false;
        system->onDestroy = [&] {
            std::unique_lock hold(lock);
            opened.wait(hold, [&] { return open; });
        };
        ThreadEnd threadEnd;
        bus->in_next_device_notification([&] {
            threadEnd.arm();
            system.release();
            log_.add("let go");
        });
        log_.take();
        root_.notify(::vexa::pal::kPalNotifyDeviceEvent, 77, 0);
        ASSERT_TRUE(log_.wait_for("let go"));
        {
            std::lock_guard hold(lock);
            open = true;
            opened.notify_all();
        }
        wait_for_releases();
        EXPECT_EQ(g_systemsAlive.load(), 0) << "round " << round << ": the system's destructor is over";
        Hooks hooks = log_.entries();
        EXPECT_NE(std::find(hooks.begin(), hooks.end(), "bus deleted"), hooks.end()) << "round " << round;
        bool gone = g_systemsAlive.load() == 0;
        EXPECT_TRUE(threadEnd.wait()) << "round " << round << ": the notification thread ends";
        if (!gone) break;
    }
}

// The system's trace records carry their published ids through the user-mode logger client:
// (1042 << 13) | line for system_impl, (1002 << 13) | line for the template, in the order the
// operations ran, from construction to destruction while still open.
TEST_P(SystemTest, TraceRecordsCarryTheirIds) {
    root_.remove_root();
    ASSERT_EQ(LoggerOpen(), STATUS_SUCCESS);
    root_.machine().logger().header(::vexa::log::kRingTagStandard)->enableMask =
        ::vexa::log::kLogPal | ::vexa::log::kLogInfo | ::vexa::log::kLogError;
    SystemRef system = make_system();
    uint64_t address = reinterpret_cast<uint64_t>(system.get());
    root_.add_root(kSecondRoot);
    ASSERT_TRUE(systemLog_.wait_for("changed 1"));
    system.release();
    struct Seen {
        uint32_t file;
        uint32_t line;
        uint32_t mask;
        bool operator==(const Seen&) const = default;
    };
    std::vector<Seen> seen;
    for (const auto& r : root_.machine().logger().records(::vexa::log::kRingTagStandard)) {
        uint32_t file = r.id >> 13;
        if (file != 1042 && file != 1002) continue;
        uint32_t line = r.id & 0x1FFF;
        if (line == 157) {
            EXPECT_EQ(r.value1, system_impl::kLibraryVersion);
        } else if (line != 204) {
            EXPECT_EQ(r.value1, address) << file << "/" << line;
        }
        seen.push_back({file, line, r.mask});
    }
    EXPECT_EQ(seen, (std::vector<Seen>{{1042, 157, 0x100},
                                       {1002, 475, 0x10100},
                                       {1042, 218, 0x10100},
                                       {1002, 430, 0x10100},
                                       {1042, 373, 0x10100},
                                       {1042, 64, 0x10100},
                                       {1042, 116, 0x10100},
                                       {1002, 430, 0x10100},
                                       {1042, 373, 0x10100},
                                       {1002, 404, 0x10100},
                                       {1002, 453, 0x10100},
                                       {1002, 377, 0x10100},
                                       {1002, 381, 0x10040},
                                       {1042, 189, 0x10100},
                                       {1042, 112, 0x10100},
                                       {1042, 170, 0x10100},
                                       {1042, 204, 0x100}}));
    EXPECT_EQ(LoggerClose(), STATUS_SUCCESS);
}

// The thread started without a system ends at once with exit code 0 (its internal error is
// swallowed by its outermost catch), rather than dereferencing nothing.
TEST(SystemThreadTest, StartedWithoutASystemEndsQuietly) {
    EXPECT_EQ(system_impl::thread_device_arrival_removal(nullptr), 0u);
}

INSTANTIATE_TEST_SUITE_P(Roads, SystemTest, ::testing::Values(LibraryRoad::Local, LibraryRoad::Socket),
                         LibraryRoadName);

}  // namespace
