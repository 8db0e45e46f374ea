// The bus template over the scripted PAL stub: the device list sorted by id
// whatever order the record lists them in, one device per id, devices that
// leave detached before new ones come, device events for ids the bus does
// not list, attach and detach, finding devices, and what the list's
// references keep alive (or let go) when the application lets go.
#include <gtest/gtest.h>

#include "platform/machine/logger_driver.h"
#include "source/driver/usb/win/user_common/logger.h"
#include "support/library_fixture.h"

namespace {

using namespace vexa::test;
using namespace mrak::vexa;
using Hooks = std::vector<std::string>;

class BusTemplateTest : public StubLibraryTest {
protected:
    BusTemplateTest() { baseline_ = g_devicesAlive.load(); }
    ~BusTemplateTest() override { EXPECT_EQ(g_devicesAlive.load(), baseline_) << "a device outlived the test"; }

    // Lists these ids (in this order) in the bus record; every device command answers one zero byte.
    void list(std::vector<uint64_t> ids) {
        script([&](PalStubState& s) {
            s.settings = {};
            for (size_t i = 0; i < ids.size() && i < 5; ++i) s.settings.deviceIds[i] = ids[i];
            s.settings.deviceCount = static_cast<uint32_t>(ids.size());
            s.reply = {0};
        });
    }
    bool relist(RecordingBus& bus, std::vector<uint64_t> ids) {
        list(std::move(ids));
        bus.refresh();
        return bus.update_devices();
    }
    static std::string dev(uint64_t id, const std::string& hook) { return "device " + std::to_string(id) + " " + hook; }

    int baseline_ = 0;
};

// Ids 5, 2, 9 make a list 2, 5, 9; listing 5 again adds nothing; all ones sorts after everything.
TEST_P(BusTemplateTest, ListIsSortedByIdAndUnique) {
    BusRef bus = open_bus();
    EXPECT_TRUE(relist(*bus, {5, 2, 9}));
    EXPECT_EQ(bus->ids(), (std::vector<uint64_t>{2, 5, 9}));
    int alive = g_devicesAlive.load();
    EXPECT_FALSE(bus->add_device(5));
    EXPECT_EQ(g_devicesAlive.load(), alive) << "no device was made for an id already listed";
    EXPECT_FALSE(relist(*bus, {9, 2, 5})) << "the same ids in another order change nothing";
    EXPECT_TRUE(relist(*bus, {~uint64_t{0}, 9, 2, 5, 1ull << 63}));
    EXPECT_EQ(bus->ids(), (std::vector<uint64_t>{2, 5, 9, 1ull << 63, ~uint64_t{0}}));
}

// A bus made on the stack, not with new as library objects are: once a device took its owner
// reference, the library itself freed the stack address when the last holder went. Handing such
// an object to the library is refused with a clear error, the device that could not hold it goes,
// and the same class made with new is held as ever.
TEST_P(BusTemplateTest, BusNotMadeWithNewIsRefused) {
    list({5});
    int alive = g_devicesAlive.load();
    {
        RecordingBus onStack(&log_);
        onStack.create(nullptr, pal_path());
        onStack.open();
        onStack.refresh();
        log_.take();
        EXPECT_FALSE(onStack.update_devices());
        EXPECT_EQ(log_.take(), (Hooks{"update_devices", "on_exception xptn_internal->mrak::exception::base 186"}))
            << "the device's hold on the bus was refused";
        EXPECT_TRUE(onStack.ids().empty());
        EXPECT_EQ(g_devicesAlive.load(), alive) << "the device that could not hold it went";
        try {
            reference<RecordingBus> held(&onStack, 0);
            ADD_FAILURE() << "the application held a bus on the stack";
        } catch (const xptn_internal& e) {
            EXPECT_EQ(e.where(), "mrak::vexa::base::add_ref: \"!m_madeByNew\"");
            EXPECT_EQ(e.file(), "..\\..\\common\\mrak_vexa_pal_win");
            EXPECT_EQ(e.line(), 186u);
        }
        onStack.close();
    }
    BusRef made = open_bus();
    EXPECT_TRUE(relist(*made, {5}));
    EXPECT_EQ(made->ids(), std::vector<uint64_t>{5});
}

// A record that drops a device: it is detached and leaves before a new one is added;
// removals alone answer false.
TEST_P(BusTemplateTest, LeavingDevicesGoBeforeNewOnesCome) {
    BusRef bus = open_bus();
    relist(*bus, {2, 5, 9});
    log_.take();
    EXPECT_TRUE(relist(*bus, {2, 9, 11}));
    Hooks hooks = log_.take();
    auto detached = std::find(hooks.begin(), hooks.end(), dev(5, "detached"));
    auto attached = std::find(hooks.begin(), hooks.end(), dev(11, "attached"));
    ASSERT_NE(detached, hooks.end());
    ASSERT_NE(attached, hooks.end());
    EXPECT_LT(detached, attached);
    EXPECT_EQ(bus->ids(), (std::vector<uint64_t>{2, 9, 11}));
    EXPECT_FALSE(relist(*bus, {2, 9}));
    EXPECT_EQ(bus->ids(), (std::vector<uint64_t>{2, 9}));
}

// A device event refreshes the named device only; an id the bus does not list does nothing.
TEST_P(BusTemplateTest, DeviceEventsReachOnlyTheNamedDevice) {
    BusRef bus = open_bus();
    relist(*bus, {2, 5});
    bus->take_sent();
    bus->device_notification(42, kDeviceChangeClockStatus);
    EXPECT_TRUE(bus->take_sent().empty());
    bus->device_notification(5, kDeviceChangeClockStatus);
    EXPECT_EQ(bus->take_sent(), (std::vector<SentCommand>{{5, 6, 4}, {5, 6, 2}, {5, 6, 5}}));
}

// detach tells every device once and then nothing more; attach again sets the flag without calling devices.
TEST_P(BusTemplateTest, AttachAndDetach) {
    BusRef bus = open_bus();
    relist(*bus, {2, 5});
    EXPECT_FALSE(bus->is_attached());
    bus->attach();
    EXPECT_TRUE(bus->is_attached());
    log_.take();
    bus->detach();
    EXPECT_EQ(log_.take(), (Hooks{dev(2, "detached"), dev(5, "detached")}));
    bus->detach();
    EXPECT_TRUE(log_.take().empty());
    bus->attach();
    EXPECT_TRUE(log_.take().empty());
    EXPECT_TRUE(bus->is_attached());
    // Destroyed while attached: it says so in its trace and goes normally, devices and all.
}

// Finding by nickname gives the lowest id (every device has the same one); a missing id gives nothing.
TEST_P(BusTemplateTest, FindDevices) {
    BusRef bus = open_bus();
    relist(*bus, {9, 4, 7});
    auto first = bus->find_device(std::string("Temporary Nickname"));
    ASSERT_TRUE(first);
    EXPECT_EQ(first->id(), 4u);
    EXPECT_FALSE(bus->find_device(std::string("temporary nickname"))) << "exact, case-sensitive";
    EXPECT_FALSE(bus->find_device(uint64_t{8}));
    EXPECT_EQ(bus->find_device(uint64_t{7})->id(), 7u);
    EXPECT_EQ(first.holder(), 0u) << "handed out as an outside hold";
}

// The application lets go of the bus: the bus and its devices go together, each once, with the
// notification thread stopped before the list goes.
TEST_P(BusTemplateTest, ReleasingTheBusDeletesItsDevices) {
    BusRef bus = open_bus();
    relist(*bus, {1, 2, 3, 4, 5});
    bus->attach();
    EXPECT_EQ(g_devicesAlive.load(), baseline_ + 5);
    notify(::vexa::pal::kPalNotifyBusChanged);  // the thread may be busy when the bus goes
    bus.release();
    EXPECT_EQ(g_devicesAlive.load(), baseline_);
}

// A device copy that outlives the application's reference to its bus keeps a live bus; letting it
// go last deletes both, and no dead id is left to walk.
TEST_P(BusTemplateTest, DeviceCopyOutlivesTheBusReference) {
    BusRef bus = open_bus();
    relist(*bus, {3, 6});
    auto kept = bus->find_device(uint64_t{6});
    RecordingBus* raw = bus.get();
    bus.release();
    EXPECT_EQ(g_devicesAlive.load(), baseline_ + 2) << "the kept device holds its bus, and the bus its devices";
    auto owner = kept->owner();
    EXPECT_EQ(owner.get(), raw);
    EXPECT_TRUE(owner->alive());
    EXPECT_EQ(owner->sample_rates().size(), 0u);
    owner.release();
    kept.release();
    EXPECT_EQ(g_devicesAlive.load(), baseline_);
}

// A bus created again with the system it already holds keeps it (the new hold is taken before the
// old goes), and deleting the bus lets the system go with it when nothing else holds the system.
TEST_P(BusTemplateTest, CreateAgainKeepsItsSystem) {
    struct System : base {
        bool* deleted;
        ~System() override { *deleted = true; }
    };
    bool deleted = false;
    auto* system = new System;
    system->deleted = &deleted;
    BusRef bus = make_bus();
    bus->create(system, pal_path());
    bus->create(system, pal_path());
    EXPECT_FALSE(deleted);
    EXPECT_EQ(system->holder_count(), 1u);
    bus.release();
    EXPECT_TRUE(deleted);
}

// The template's trace records carry their published ids, (1003 << 13) | line, through the
// user-mode logger client: constructed, attached, destroyed, and destroyed while attached as an error.
TEST_P(BusTemplateTest, TraceRecordsCarryTheirIds) {
    ASSERT_EQ(LoggerOpen(), STATUS_SUCCESS);
    machine_->logger().header(::vexa::log::kRingTagStandard)->enableMask =
        ::vexa::log::kLogPal | ::vexa::log::kLogInfo | ::vexa::log::kLogError;
    BusRef bus = make_bus();
    uint64_t address = reinterpret_cast<uint64_t>(bus.get());
    bus->attach();
    bus.release();
    struct Seen {
        uint32_t id;
        uint32_t mask;
        bool operator==(const Seen&) const = default;
    };
    std::vector<Seen> seen;
    for (const auto& r : machine_->logger().records(::vexa::log::kRingTagStandard)) {
        if ((r.id >> 13) == 1003 && r.value1 == address) seen.push_back({r.id & 0x1FFF, r.mask});
    }
    EXPECT_EQ(seen, (std::vector<Seen>{{271, 0x10100}, {287, 0x10100}, {277, 0x10100}, {280, 0x10040}}));
    EXPECT_EQ(LoggerClose(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Roads, BusTemplateTest, ::testing::Values(LibraryRoad::Local, LibraryRoad::Socket),
                         LibraryRoadName);

}  // namespace
