// Test equipment for the device-access library: machines on both roads into
// it, the root driver's test image with the real USB function driver and
// simulated interfaces, or the scripted PAL stub driver.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "platform/kernel/fault.h"
#include "platform/kmdf/fx_io.h"
#include "platform/machine/driver_loader.h"
#include "platform/machine/process.h"
#include "platform/machine/socket_server.h"
#include "platform/machine/user_io.h"
#include "common/releases.h"
#include "support/library_doubles.h"
#include "support/pal_stub_driver.h"
#include "support/root_machine.h"
#include "support/temp_dir.h"

namespace vexa::test {

// The calling process's requests pending in the machine; with `parked`,
// only those a driver has put away in a queue of its own (not the default
// queue that presents them): their dispatch is over, so nothing of the
// driver runs for them while the test goes on.
inline size_t PendingRequests(bool parked = false) {
    auto process = platform::Machine::current().processes().find(platform::win32::current_process()->process_id());
    auto held = process->hold_requests([](const platform::UserRequest&) { return true; });
    size_t count = 0;
    for (platform::UserRequest* request : held) {
        IRP* irp = request->irp();
        // A cancel routine is armed (release) only once the framework's request exists and sits
        // in a queue; read it first (acquire), and the request's fields are safe to read.
        bool queued = __atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr;
        platform::kmdf::FxIoQueue* queue = queued ? platform::kmdf::FxRequest::from_irp(irp)->queue() : nullptr;
        if (!parked || (queue != nullptr && !queue->is_default())) ++count;
        request->unhold();
    }
    return count;
}

// Waits (yielding, never sleeping) until the process has `count` such
// requests (at least, or `exactly`); false after 20 s. After an open, the
// bus's notification thread has its wait parked, so a fault armed now meets
// the test's own request and a removal meets no dispatch in progress.
inline bool WaitForPendingRequests(size_t count, bool exactly = false, bool parked = false) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        size_t pending = PendingRequests(parked);
        if (exactly ? pending == count : pending >= count) return true;
        std::this_thread::yield();
    }
    return false;
}

// The roads into a machine that runs in this program: a process here, or one behind a socket served here.
enum class LibraryRoad { Local, Socket };

inline std::string LibraryRoadName(const ::testing::TestParamInfo<LibraryRoad>& info) {
    return info.param == LibraryRoad::Local ? "InProcess" : "Socket";
}

class RoadProcess {
public:
    void start(LibraryRoad road) {
        if (road == LibraryRoad::Socket) {
            server_ = std::make_unique<platform::SocketServer>((dir_.path() / "machine.sock").string());
            std::string error;
            EXPECT_TRUE(server_->start(&error)) << error;
            process_ = platform::win32::connect_to_machine((dir_.path() / "machine.sock").string(), false, "panel",
                                                           &error);
            EXPECT_TRUE(process_) << error;
        } else {
            process_ = platform::win32::create_local_process(false, "panel");
        }
        platform::win32::set_default_process(process_);
    }
    void stop() {
        platform::win32::set_default_process(nullptr);
        process_.reset();
        server_.reset();
    }

private:
    TempDir dir_;
    std::unique_ptr<platform::SocketServer> server_;
    std::shared_ptr<platform::win32::UserProcess> process_;
};

// The root driver's test image (the driver's own objects and hooks that can
// send any notification) with the real USB function driver, no interface
// plugged yet; the test acts as a process on the road it is given.
class RootLibraryTest : public ::testing::TestWithParam<LibraryRoad> {
protected:
    RootLibraryTest() : root_(VEXA_TEST_DRIVER_DIR, {}, VEXA_USB_DRIVER_DIR) { road_.start(GetParam()); }
    ~RootLibraryTest() override {
        platform::fault::clear();
        // What a test let go from a library hook is deleted on a library thread: gone before the machine.
        mrak::vexa::wait_for_releases();
        road_.stop();
    }

    std::string pal_path() { return Narrow(InterfacePath(GUID_DEVINTERFACE_PAL)); }
    BusRef make_bus() {
        BusRef bus(new RecordingBus(&log_), 0);
        bus->create(nullptr, pal_path());
        return bus;
    }
    // Opened, with its notification thread's wait parked in the driver.
    BusRef open_bus() {
        size_t before = PendingRequests(true);
        BusRef bus = make_bus();
        bus->open();
        EXPECT_TRUE(WaitForPendingRequests(before + 1, false, true));
        return bus;
    }
    const vexa::machine::SimulatedPorts::Port& plug(platform::device::VexaModel model) {
        return root_.ports().plug(model);
    }
    void run_ms(uint64_t ms) { root_.machine().clock().run_for(platform::Milliseconds(ms)); }

    HookLog log_;
    RootMachine root_;
    RoadProcess road_;
};

// The PAL stub driver installed on a machine of its own.
class StubLibraryTest : public ::testing::TestWithParam<LibraryRoad> {
protected:
    StubLibraryTest() {
        image_ = dlopen(VEXA_PAL_STUB_DRIVER, RTLD_NOW | RTLD_LOCAL);
        state_ = reinterpret_cast<PalStubGetStateFn>(dlsym(image_, "PalStubGetState"))();
        notify_ = reinterpret_cast<PalStubNotifyFn>(dlsym(image_, "PalStubNotify"));
        release_ = reinterpret_cast<PalStubReleaseFn>(dlsym(image_, "PalStubRelease"));
        reinterpret_cast<PalStubResetFn>(dlsym(image_, "PalStubReset"))();
        machine_ = std::make_unique<platform::Machine>();
        machine_->drivers().install("VexaPalStub", VEXA_PAL_STUB_DRIVER);
        machine_->pnp().add_node(u"ROOT\\VEXAPALSTUB\\0000", {u"Root\\VexaPalStub"}, "VexaPalStub");
        road_.start(GetParam());
    }
    ~StubLibraryTest() override {
        platform::fault::clear();
        mrak::vexa::wait_for_releases();
        road_.stop();
        machine_.reset();
        dlclose(image_);
    }

    std::string pal_path() { return Narrow(InterfacePath(kPalStubInterface)); }
    BusRef make_bus() {
        BusRef bus(new RecordingBus(&log_), 0);
        bus->create(nullptr, pal_path());
        return bus;
    }
    // Opened, with its notification thread's wait parked in the driver.
    BusRef open_bus() {
        size_t before = PendingRequests(true);
        BusRef bus = make_bus();
        bus->open();
        EXPECT_TRUE(WaitForPendingRequests(before + 1, false, true));
        return bus;
    }
    template <typename Fn>
    void script(Fn fn) {
        std::lock_guard lock(state_->lock);
        fn(*state_);
    }
    void notify(uint32_t kind, uint64_t param64 = 0, uint32_t param32 = 0) {
        vexa::pal::PalNotification record{kind, param32, param64};
        notify_(&record);
    }
    // Waits (on the stub's condition) until `count` DCP commands are held.
    bool wait_held(unsigned count) {
        std::unique_lock lock(state_->lock);
        return state_->changed.wait_for(lock, std::chrono::seconds(20), [&] { return state_->held >= count; });
    }
    // Waits until the stub has seen `count` notification waits park.
    bool wait_parked(unsigned count) {
        std::unique_lock lock(state_->lock);
        return state_->changed.wait_for(lock, std::chrono::seconds(20), [&] { return state_->parked >= count; });
    }

    HookLog log_;
    void* image_ = nullptr;
    PalStubState* state_ = nullptr;
    PalStubNotifyFn notify_ = nullptr;
    PalStubReleaseFn release_ = nullptr;
    std::unique_ptr<platform::Machine> machine_;
    RoadProcess road_;
};

}  // namespace vexa::test
