// A program using the device-access library against vexa-machine running as a
// program of its own, in real time: it opens the bus, lists its devices,
// changes the rate, the buffer size and the mode and sees the hooks, follows
// an interface plugged in and one pulled out, and closes cleanly; and a
// system in such a program following the root device's removal and arrival.
#include <gtest/gtest.h>

#include "support/library_doubles.h"
#include "support/system_doubles.h"
#include "support/program.h"
#include "support/root_machine.h"
#include "support/temp_dir.h"

namespace {

using namespace vexa::test;
using namespace mrak::vexa;
using platform::device::VexaModel;

class LibraryMachineTest : public ::testing::Test {
protected:
    LibraryMachineTest() {
        machine_ = std::make_unique<Program>(
            std::vector<std::string>{VEXA_MACHINE_BIN, "--state", (dir_.path() / "state").string(), "--socket",
                                     socket()},
            std::map<std::string, std::string>{}, true);
        EXPECT_TRUE(machine_->read_until("ready on")) << machine_->so_far();
        std::string error;
        process_ = platform::win32::connect_to_machine(socket(), false, "QUVVexaUSB", &error);
        EXPECT_TRUE(process_) << error;
        platform::win32::set_default_process(process_);
    }
    ~LibraryMachineTest() override {
        platform::win32::set_default_process(nullptr);
        process_.reset();
    }
    std::string socket() const { return (dir_.path() / "machine.sock").string(); }

    TempDir dir_;
    std::unique_ptr<Program> machine_;
    std::shared_ptr<platform::win32::UserProcess> process_;
    HookLog log_;
};

TEST_F(LibraryMachineTest, ProgramFollowsTheMachine) {
    BusRef bus(new RecordingBus(&log_), 0);
    bus->create(nullptr, Narrow(InterfacePath(GUID_DEVINTERFACE_PAL)));
    // As the system adds a bus: open, read, fill, attach, compare, tell.
    bus->open();
    bus->refresh();
    bus->update_devices();
    bus->attach();
    bus->update();
    bus->devices_changed();
    EXPECT_TRUE(bus->alive());
    EXPECT_EQ(bus->driver_version(), ::vexa::pal::kDriverVersion);
    std::vector<uint64_t> ids = bus->ids();
    ASSERT_EQ(ids.size(), 1u);
    auto qe = bus->find_device(ids[0]);
    EXPECT_EQ(qe->info().model_name(), "Cantile-QE");
    EXPECT_EQ(bus->sample_rate(), 48000u);
    EXPECT_EQ(bus->sample_rates().count(96000), 1u);
    log_.take();

    // Each value arrives with the root driver's notification, and its hook with it.
    bus->set_sample_rate(96000);
    ASSERT_TRUE(log_.wait_until([&] { return bus->sample_rate() == 96000; }));
    ASSERT_TRUE(log_.wait_for("sample_rate_changed"));
    bus->set_buffer_size(256);
    ASSERT_TRUE(log_.wait_until([&] { return bus->buffer_size() == 256; }));
    ASSERT_TRUE(log_.wait_for("buffer_size_changed"));
    bus->set_operation_mode(3);
    ASSERT_TRUE(log_.wait_until([&] { return bus->operation_mode() == 3; }));
    ASSERT_TRUE(log_.wait_for("operation_mode_changed"));
    log_.take();

    machine_->write_line("plug cantile-qk");
    ASSERT_TRUE(machine_->read_until("plugged cantile-qk into port 2"));
    ASSERT_TRUE(log_.wait_until([&] { return bus->ids().size() == 2; }));
    ids = bus->ids();
    ASSERT_EQ(ids.size(), 2u);
    EXPECT_EQ(bus->find_device(ids[1])->info().model_name(), "Cantile-QK");
    EXPECT_EQ(bus->find_device(ids[1])->info().serial_number(), 2u);

    log_.take();
    machine_->write_line("unplug 1");
    ASSERT_TRUE(machine_->read_until("unplugged port 1"));
    ASSERT_TRUE(log_.wait_until([&] { return bus->ids().size() == 1; }));
    ASSERT_TRUE(log_.wait_for("devices_changed"));
    auto hooks = log_.take();
    EXPECT_NE(std::find(hooks.begin(), hooks.end(), "device " + std::to_string(ids[0]) + " detached"), hooks.end());
    EXPECT_NE(std::find(hooks.begin(), hooks.end(), "current_device_changed"), hooks.end());
    EXPECT_EQ(bus->ids(), (std::vector<uint64_t>{ids[1]}));
    EXPECT_EQ(bus->record().settings.currentDeviceId, ids[1]);

    bus->detach();
    bus->close();
    EXPECT_FALSE(bus->alive());
    qe.release();
    bus.release();
    EXPECT_EQ(machine_->signal_and_wait(SIGTERM), 0);
}

// vexa-machine ends under a running program: the library said nothing (the panel kept its old
// values with its combo boxes enabled, and a choice then failed with a resource error). A bus
// whose connection fails for good is reported as the root device's removal: the system drops it
// (its devices detached first) and calls changed, and the bus's on_exception hears of the error.
TEST_F(LibraryMachineTest, MachineEndingIsReportedAsTheRootDevicesRemoval) {
    HookLog systemLog;
    SystemRef system(new RecordingSystem(&systemLog, &log_), 0);
    system->create();
    EXPECT_EQ(systemLog.take(), (std::vector<std::string>{"scan true", "changed 1"}));
    BusRef bus = system->buses().at(0);
    ASSERT_EQ(bus->ids().size(), 1u);
    std::string detached = "device " + std::to_string(bus->ids()[0]) + " detached";
    log_.take();

    machine_.reset();  // killed: no removal of anything reaches the program
    ASSERT_TRUE(systemLog.wait_for("changed 0"));
    EXPECT_EQ(system->bus_count(), 0u);
    EXPECT_FALSE(bus->is_attached());
    // The system's wait and the bus's fail in either order; the bus hears of it on its own thread.
    ASSERT_TRUE(log_.wait_for("on_exception xptn_device->xptn_driver_access 512"));
    EXPECT_FALSE(bus->alive());
    std::vector<std::string> hooks = log_.take();
    EXPECT_NE(std::find(hooks.begin(), hooks.end(), detached), hooks.end());
    system->close();
}

// The system in a program behind the socket: it finds the bus, follows the interfaces, drops the
// bus when the root device goes (detached first) and adds a new one when it comes back.
TEST_F(LibraryMachineTest, SystemFollowsTheRootDevice) {
    HookLog systemLog;
    SystemRef system(new RecordingSystem(&systemLog, &log_), 0);
    system->create();
    EXPECT_EQ(systemLog.take(), (std::vector<std::string>{"scan true", "changed 1"}));
    std::vector<BusRef> buses = system->buses();
    ASSERT_EQ(buses.size(), 1u);
    BusRef bus = buses[0];
    buses.clear();
    std::vector<uint64_t> ids = bus->ids();
    ASSERT_EQ(ids.size(), 1u);
    EXPECT_EQ(bus->find_device(ids[0])->info().model_name(), "Cantile-QE");

    bus->set_sample_rate(96000);
    ASSERT_TRUE(log_.wait_until([&] { return bus->sample_rate() == 96000; }));
    ASSERT_TRUE(log_.wait_for("sample_rate_changed"));

    machine_->write_line("plug cantile-qk");
    ASSERT_TRUE(machine_->read_until("plugged cantile-qk into port 2"));
    ASSERT_TRUE(log_.wait_until([&] { return bus->ids().size() == 2; }));
    EXPECT_LT(bus->ids()[0], bus->ids()[1]);

    log_.take();
    machine_->write_line("root remove");
    ASSERT_TRUE(machine_->read_until("removed the root device"));
    ASSERT_TRUE(systemLog.wait_for("changed 0"));
    std::vector<std::string> hooks = log_.take();
    EXPECT_NE(std::find(hooks.begin(), hooks.end(), "device " + std::to_string(ids[0]) + " detached"), hooks.end());
    EXPECT_EQ(system->bus_count(), 0u);
    EXPECT_FALSE(bus->is_attached());

    machine_->write_line("root add");
    ASSERT_TRUE(machine_->read_until("added the root device"));
    ASSERT_TRUE(systemLog.wait_for("changed 1"));
    ASSERT_EQ(system->bus_count(), 1u);
    BusRef fresh = system->buses()[0];
    EXPECT_NE(fresh.get(), bus.get());
    // The new root binds to both interfaces again, each arrival a device list update of the new bus.
    ASSERT_TRUE(log_.wait_until([&] { return fresh->ids().size() == 2; }));
    EXPECT_TRUE(fresh->connected());
    EXPECT_EQ(fresh->find_device(fresh->ids()[1])->info().model_name(), "Cantile-QK");

    fresh.release();
    bus.release();
    system->close();
    system.release();
    EXPECT_EQ(g_systemsAlive.load(), 0);
    EXPECT_EQ(machine_->signal_and_wait(SIGTERM), 0);
}

}  // namespace
