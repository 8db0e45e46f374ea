// The library end to end, as the control panel uses it, on both roads into a
// machine with the root driver's test image, the real USB function driver
// and simulated interfaces: the system finds the bus and its device, follows
// a rate change, a firmware clock event, a second interface plugged in, the
// first pulled out and the root device restarting, and leaves nothing behind.
#include <gtest/gtest.h>

#include "platform/machine/process.h"
#include "platform/machine/work_queue.h"
#include "support/library_fixture.h"
#include "support/system_doubles.h"

namespace {

using namespace vexa::test;
using namespace mrak::vexa;
using platform::device::VexaModel;

class SystemEndToEndTest : public RootLibraryTest {
protected:
    size_t kernel_handles() {
        auto process = root_.machine().processes().find(platform::win32::current_process()->process_id());
        return process->handles().size();
    }
    // Lets the firmware's interrupt reach the root driver and its notification go out.
    void deliver_events() {
        run_ms(10);
        root_.machine().workers().drain();
    }
    bool has(const std::string& entry) {
        std::vector<std::string> hooks = log_.entries();
        return std::find(hooks.begin(), hooks.end(), entry) != hooks.end();
    }

    HookLog systemLog_;
};

TEST_P(SystemEndToEndTest, SystemFollowsTheMachine) {
    auto& qe = plug(VexaModel::CantileQe);
    size_t handlesBefore = kernel_handles();
    SystemRef system(new RecordingSystem(&systemLog_, &log_), 0);
    system->create();

    // One bus with one device, the Cantile-QE.
    std::vector<BusRef> buses = system->buses();
    ASSERT_EQ(buses.size(), 1u);
    BusRef bus = buses[0];
    std::vector<uint64_t> ids = bus->ids();
    ASSERT_EQ(ids.size(), 1u);
    uint64_t qeId = ids[0];
    EXPECT_EQ(bus->find_device(qeId)->info().model_name(), "Cantile-QE");
    std::string qePrefix = "device " + std::to_string(qeId) + " ";

    // A rate change raises its hook once the root driver's notification has been read.
    log_.take();
    bus->set_sample_rate(96000);
    ASSERT_TRUE(log_.wait_until([&] { return has("sample_rate_changed") && bus->sample_rate() == 96000; }));

    // A firmware clock event: the clock status is read again and both device hooks are raised.
    qe.device->firmware().set_clock_status(0);
    qe.device->raise_event(kDeviceChangeClockStatus | (1u << 21));
    deliver_events();
    ASSERT_TRUE(log_.wait_for(qePrefix + "device_notification " + std::to_string(1u << 21)));
    EXPECT_TRUE(has(qePrefix + "clock_status_changed 1"));

    // A Cantile-QK plugged in: two devices, sorted by id.
    plug(VexaModel::CantileQk);
    ASSERT_TRUE(log_.wait_until([&] { return bus->ids().size() == 2; }));
    ids = bus->ids();
    EXPECT_LT(ids[0], ids[1]);
    uint64_t qkId = ids[0] == qeId ? ids[1] : ids[0];
    EXPECT_EQ(bus->find_device(qkId)->info().model_name(), "Cantile-QK");

    // The Cantile-QE pulled out: its device is detached and leaves the list.
    log_.take();
    ASSERT_TRUE(root_.ports().unplug(1));
    ASSERT_TRUE(log_.wait_for("devices_changed"));
    EXPECT_TRUE(has(qePrefix + "detached"));
    EXPECT_EQ(bus->ids(), (std::vector<uint64_t>{qkId}));

    // The root device restarting: the bus is dropped (detached) and a new one added, which finds the QK again.
    systemLog_.take();
    root_.restart_root();
    ASSERT_TRUE(systemLog_.wait_until([&] {
        std::vector<BusRef> now = system->buses();
        return now.size() == 1 && now[0].get() != bus.get();
    }));
    EXPECT_FALSE(bus->is_attached());
    BusRef fresh = system->buses()[0];
    // The new root binds to the interface on its own worker: the new bus's device list follows.
    ASSERT_TRUE(log_.wait_until([&] { return fresh->ids().size() == 1; }));
    EXPECT_EQ(fresh->find_device(fresh->ids()[0])->info().model_name(), "Cantile-QK");
    EXPECT_TRUE(fresh->connected());

    // Destroyed: every thread joined, no handle of it and no request of it left.
    fresh.release();
    bus.release();
    buses.clear();
    system->close();
    system.release();
    EXPECT_EQ(g_systemsAlive.load(), 0);
    EXPECT_EQ(PendingRequests(), 0u);
    EXPECT_EQ(kernel_handles(), handlesBefore);
}

INSTANTIATE_TEST_SUITE_P(Roads, SystemEndToEndTest, ::testing::Values(LibraryRoad::Local, LibraryRoad::Socket),
                         LibraryRoadName);

}  // namespace
