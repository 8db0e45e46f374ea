// Test equipment for the device-access library: a clock the test drives (so
// retry limits cost no wall time), a bus and a device that record every hook
// they receive, and machines on both roads into them: the root driver's test
// image with the real USB function driver and simulated interfaces, or the
// scripted PAL stub driver.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/bus.h"
#include "common/device.h"
#include "common/pal_time.h"
#include "common/xptn.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/text.h"
#include "platform/machine/driver_loader.h"
#include "platform/machine/process.h"
#include "platform/machine/user_io.h"
#include "platform/machine/socket_server.h"
#include "support/pal_stub_driver.h"
#include "support/root_machine.h"
#include "support/temp_dir.h"

namespace vexa::test {

// Milliseconds that pass only when the library sleeps (each sleep moves the
// clock on by its length) or the test says so.
class TestClock : public mrak::vexa::pal::clock {
public:
    TestClock() { mrak::vexa::pal::set_clock(this); }
    ~TestClock() override { mrak::vexa::pal::set_clock(nullptr); }
    uint32_t now() override { return now_.load(); }
    void sleep(uint32_t ms) override {
        now_ += ms;
        if (ms == kRetryPause) ++retryPauses_;
        std::this_thread::yield();
    }
    void advance(uint32_t ms) { now_ += ms; }
    unsigned retry_pauses() const { return retryPauses_.load(); }

    static constexpr uint32_t kRetryPause = mrak::vexa::bus_impl::kRetryPauseMs;

private:
    std::atomic<uint32_t> now_{1000};
    std::atomic<unsigned> retryPauses_{0};
};

// What the hooks were told, in order, on whichever thread told them.
class HookLog {
public:
    void add(std::string entry) {
        std::lock_guard lock(lock_);
        entries_.push_back(std::move(entry));
        changed_.notify_all();
    }
    std::vector<std::string> take() {
        std::lock_guard lock(lock_);
        return std::exchange(entries_, {});
    }
    std::vector<std::string> entries() {
        std::lock_guard lock(lock_);
        return entries_;
    }
    // Waits (on the condition, not by sleeping) until `entry` has been logged; false after 20 s.
    bool wait_for(const std::string& entry) {
        std::unique_lock lock(lock_);
        return changed_.wait_for(lock, std::chrono::seconds(20), [&] {
            return std::find(entries_.begin(), entries_.end(), entry) != entries_.end();
        });
    }

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> entries_;
};

inline std::atomic<int> g_devicesAlive{0};

class RecordingDevice : public mrak::vexa::device {
public:
    explicit RecordingDevice(HookLog* log = nullptr) : log_(log) { ++g_devicesAlive; }
    ~RecordingDevice() override { --g_devicesAlive; }
    void attached() override { note("attached"); }
    void detached() override { note("detached"); }
    void clock_status_changed(uint32_t previous) override { note("clock_status_changed " + std::to_string(previous)); }
    void device_notification(uint32_t bits) override { note("device_notification " + std::to_string(bits)); }

private:
    void note(const std::string& what) {
        if (log_ != nullptr) log_->add("device " + std::to_string(id()) + " " + what);
    }
    HookLog* log_;
};

// One command as the bus was asked to send it.
struct SentCommand {
    uint64_t target;
    uint16_t category;
    uint16_t command;
    bool operator==(const SentCommand&) const = default;
};

class RecordingBus : public mrak::vexa::bus<RecordingDevice> {
public:
    explicit RecordingBus(HookLog* log) : log_(log) {}

    void on_exception(const mrak::exception::base& e) override {
        log_->add("on_exception " + e.type() + " " + std::to_string(e.line()));
        if (throwOnException_ > 0) {
            --throwOnException_;
            throw std::runtime_error("hook");
        }
    }
    void progress(uint32_t percent, uint32_t index) override {
        std::lock_guard lock(lock_);
        progress_.push_back({percent, index});
    }
    void devices_updated() override {
        log_->add("devices_updated");
        bus::devices_updated();
    }
    void devices_changed() override { log_->add("devices_changed"); }
    void single_asio_client_changed() override { log_->add("single_asio_client_changed"); }
    void current_device_changed() override {
        log_->add("current_device_changed");
        if (closeInHook_) close();
    }
    void operation_mode_changed() override { log_->add("operation_mode_changed"); }
    void sample_rate_changed() override {
        log_->add("sample_rate_changed");
        if (throwOnRate_) throw mrak::vexa::make_xptn<mrak::vexa::xptn_internal>("test", 1, "sample_rate_changed");
        if (throwForeignOnRate_) throw std::runtime_error("not a library error");
    }
    void clock_source_changed() override { log_->add("clock_source_changed"); }
    void buffer_size_changed() override { log_->add("buffer_size_changed"); }
    void buffer_size_min_changed() override { log_->add("buffer_size_min_changed"); }
    void buffer_size_max_changed() override { log_->add("buffer_size_max_changed"); }
    void client_count_changed() override { log_->add("client_count_changed"); }
    void refresh() override {
        log_->add("refresh");
        bus::refresh();
    }
    bool update() override {
        log_->add("update");
        return bus::update();
    }
    bool update_devices() override {
        log_->add("update_devices");
        return bus::update_devices();
    }
    void device_notification(uint64_t id, uint32_t mask) override {
        log_->add("device_notification " + std::to_string(id) + " " + std::to_string(mask));
        bus::device_notification(id, mask);
    }
    void dcp_cmd(uint64_t target, uint16_t category, uint16_t command, const void* data, uint64_t dataSize,
                 void* response, uint64_t* responseSize) override {
        {
            std::lock_guard lock(lock_);
            sent_.push_back({target, category, command});
        }
        bus::dcp_cmd(target, category, command, data, dataSize, response, responseSize);
    }
    RecordingDevice* new_device(uint64_t id) override {
        if (failDevice_ == id) return nullptr;
        return new RecordingDevice(log_);
    }

    std::vector<SentCommand> take_sent() {
        std::lock_guard lock(lock_);
        return std::exchange(sent_, {});
    }
    std::vector<std::pair<uint32_t, uint32_t>> progress_calls() {
        std::lock_guard lock(lock_);
        return progress_;
    }
    void throw_on_rate(bool on) { throwOnRate_ = on; }
    // The next `calls` calls of on_exception throw.
    void throw_on_exception(int calls) { throwOnException_ = calls; }
    void throw_foreign_on_rate(bool on) { throwForeignOnRate_ = on; }
    // The bus closes itself from a hook, on its notification thread.
    void close_in_hook(bool on) { closeInHook_ = on; }
    void refuse_device(uint64_t id) { failDevice_ = id; }
    // The device ids of the list, in list order.
    std::vector<uint64_t> ids() {
        mrak::vexa::lock_scope hold;
        std::vector<uint64_t> list;
        for (auto& entry : static_cast<device_list&>(*this)) list.push_back(entry->id());
        return list;
    }

private:
    HookLog* log_;
    std::mutex lock_;
    std::vector<SentCommand> sent_;
    std::vector<std::pair<uint32_t, uint32_t>> progress_;
    std::atomic<bool> throwOnRate_{false};
    std::atomic<int> throwOnException_{0};
    std::atomic<bool> throwForeignOnRate_{false};
    std::atomic<bool> closeInHook_{false};
    std::atomic<uint64_t> failDevice_{0};
};

using BusRef = mrak::vexa::reference<RecordingBus>;

inline std::string Narrow(const std::u16string& text) { return platform::narrow(text); }

// Waits (yielding, never sleeping) until the calling process has at least
// `count` requests pending in the machine: after open, the bus's notification
// thread has its wait out, so a fault armed now meets the test's own request.
inline size_t PendingRequests() {
    auto process = platform::Machine::current().processes().find(platform::win32::current_process()->process_id());
    auto held = process->hold_requests([](const platform::UserRequest&) { return true; });
    for (platform::UserRequest* request : held) request->unhold();
    return held.size();
}
inline bool WaitForPendingRequests(size_t count) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (PendingRequests() >= count) return true;
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
        road_.stop();
    }

    std::string pal_path() { return Narrow(InterfacePath(GUID_DEVINTERFACE_PAL)); }
    BusRef make_bus() {
        BusRef bus(new RecordingBus(&log_), 0);
        bus->create(nullptr, pal_path());
        return bus;
    }
    // Opened, with its notification thread's wait out.
    BusRef open_bus() {
        size_t before = PendingRequests();
        BusRef bus = make_bus();
        bus->open();
        EXPECT_TRUE(WaitForPendingRequests(before + 1));
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
    // Opened, with its notification thread's wait out.
    BusRef open_bus() {
        size_t before = PendingRequests();
        BusRef bus = make_bus();
        bus->open();
        EXPECT_TRUE(WaitForPendingRequests(before + 1));
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
