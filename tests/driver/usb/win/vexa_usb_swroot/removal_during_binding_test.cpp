// The interface pulled out while the root driver binds to it: at each step
// of the binding on the real USB function driver (every platform call the
// binding thread makes, from its very first, before the target is open, to
// its last command), and at offsets in virtual time from the first
// microsecond on. Whatever the point, the machine keeps its rules, nothing
// stays listed or allocated, an announced arrival is always followed by its
// removal, and the USB function driver unloads once the root let go of it.
#include <gtest/gtest.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>

#include "platform/kernel/fault.h"
#include "platform/kernel/pool.h"
#include "platform/machine/driver_loader.h"
#include "platform/machine/work_queue.h"
#include "platform/usb/usb_port.h"
#include "support/root_machine.h"
#include "support/rule_recorder.h"
#include "support/usb_constants.h"

namespace {

using namespace vexa::pal;
using namespace vexa::test;
using platform::device::VexaModel;

// The thread the PnP notifications run on (one worker, so one thread): a
// registration that includes existing interfaces is told at once, there.
std::thread::id NotificationThread() {
    std::thread::id id;
    PVOID entry = nullptr;
    auto record = [](PVOID, PVOID context) -> NTSTATUS {
        *static_cast<std::thread::id*>(context) = std::this_thread::get_id();
        return STATUS_SUCCESS;
    };
    EXPECT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange,
                                             PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES,
                                             const_cast<GUID*>(&GUID_DEVINTERFACE_PAL), nullptr, record, &id, &entry),
              STATUS_SUCCESS);
    platform::drain_pnp_notifications();
    EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(entry), STATUS_SUCCESS);
    return id;
}

// What the kernel pool holds, by tag.
std::map<ULONG, std::pair<int64_t, int64_t>> PoolHeld() {
    std::map<ULONG, std::pair<int64_t, int64_t>> held;
    for (const auto& [tag, stats] : platform::pool::snapshot()) {
        if (stats.blocks != 0 || stats.bytes != 0) held[tag] = {stats.blocks, stats.bytes};
    }
    return held;
}

// One machine, one interface plugged in and pulled out again at a chosen point.
class Scenario {
public:
    explicit Scenario(VexaModel model) : root_(VEXA_TEST_DRIVER_DIR, {}, VEXA_USB_DRIVER_DIR), model_(model) {
        pal_ = OpenPal();
        EXPECT_EQ(Bus(pal_, kDcpBusRegisterClient).status, STATUS_SUCCESS);
        worker_ = NotificationThread();
        poolBefore_ = PoolHeld();
    }
    ~Scenario() { CloseHandle(pal_); }

    // Pauses the binding at its `step`-th platform call (1 is the first) and
    // pulls the interface out there; false when the binding had fewer steps
    // (it ran to its end and the interface was pulled out after it).
    bool unplug_at_step(size_t step, std::string* pausedAt) {
        platform::fault::ScopedObserver observer([this, step](std::string_view call) { observe(step, call); });
        // The removal's first listener (it is in place before the root's target's): a binding whose
        // target listens already goes on now, while the root's listener waits for it to end.
        uint64_t listener = root_.machine().pnp().add_removal_listener([this](platform::DevNode&, platform::RemovalKind) {
            std::lock_guard guard(lock_);
            if (paused_ && targetListens_) release_locked();
        });
        plug();
        std::thread drainer([this] {
            platform::drain_pnp_notifications();
            std::lock_guard guard(lock_);
            bindingOver_ = true;
            changed_.notify_all();
        });
        bool paused;
        {
            std::unique_lock lock(lock_);
            changed_.wait(lock, [this] { return paused_ || bindingOver_; });
            paused = paused_;
            if (paused) *pausedAt = pausedAt_;
        }
        // Before the target listens, the removal runs to its end while the binding waits.
        unplug();
        {
            std::lock_guard lock(lock_);
            release_locked();
        }
        drainer.join();
        root_.machine().pnp().remove_removal_listener(listener);
        return paused;
    }

    // Pulls the interface out once virtual time is `offset` past the plug (or the binding is over).
    void unplug_after(uint64_t offset) {
        plug();
        uint64_t due = root_.machine().clock().now() + offset;
        std::atomic<bool> over{false};
        std::thread drainer([&over] {
            platform::drain_pnp_notifications();
            over.store(true);
        });
        // The binding moves time itself (its waits for the firmware's replies); the test only watches it.
        while (root_.machine().clock().now() < due && !over.load()) std::this_thread::yield();
        unplug();
        drainer.join();
    }

    // Everything a finished scenario must show; `where` names the point.
    void check(const std::string& where) {
        platform::wait_for_pnp_idle();  // the children's enumeration too: it holds a relations list while it runs
        root_.machine().workers().drain();
        EXPECT_EQ(rules_.count(), 0u) << where << ": " << (rules_.count() ? rules_.violations()[0] : "");
        std::vector<uint32_t> kinds;
        for (uint32_t kind : Kinds(TakeNotifications(pal_))) {
            if (kind != kPalNotifyBusChanged) kinds.push_back(kind);
        }
        EXPECT_TRUE(kinds.empty() || kinds == (std::vector<uint32_t>{kPalNotifyDeviceArrival, kPalNotifyDeviceRemoval}))
            << where << ": " << ::testing::PrintToString(kinds);
        EXPECT_EQ(ReadSettings(pal_).deviceCount, 0u) << where;
        EXPECT_EQ(root_.machine().drivers().find(kUsbService), nullptr) << where << ": the USB driver is still loaded";
        EXPECT_EQ(PoolHeld(), poolBefore_) << where << ": pool blocks left behind";
    }

private:
    void plug() { node_ = platform::usb::plug(platform::device::make_vexa_interface(model_), kUsbService, u"0001"); }
    void unplug() {
        std::thread remover([this] { platform::usb::unplug(*node_); });
        remover.join();
    }

    // On every thread: counts the binding thread's calls and stops it at the `step`-th.
    void observe(size_t step, std::string_view call) {
        if (std::this_thread::get_id() != worker_ || KeGetCurrentIrql() != PASSIVE_LEVEL) return;
        std::unique_lock lock(lock_);
        // From its query on, the root's target has its removal listener in place.
        if (call == "WdfIoTargetQueryForInterface") targetListens_ = true;
        if (++calls_ != step) return;
        paused_ = true;
        pausedAt_ = call;
        changed_.notify_all();
        changed_.wait(lock, [this] { return released_; });
    }
    void release_locked() {
        released_ = true;
        changed_.notify_all();
    }

    RootMachine root_;
    VexaModel model_;
    HANDLE pal_ = nullptr;
    std::thread::id worker_;
    std::map<ULONG, std::pair<int64_t, int64_t>> poolBefore_;
    RuleRecorder rules_;
    platform::DevNode* node_ = nullptr;

    std::mutex lock_;
    std::condition_variable changed_;
    size_t calls_ = 0;            // guarded by lock_
    bool targetListens_ = false;  // guarded by lock_
    bool paused_ = false;         // guarded by lock_
    bool released_ = false;       // guarded by lock_
    bool bindingOver_ = false;    // guarded by lock_
    std::string pausedAt_;        // guarded by lock_
};

class RemovalDuringBindingTest : public ::testing::TestWithParam<VexaModel> {};

// Pulled out at each step of the binding, from its first (before the target
// is open; between the open and the target's listening) to its last
// command, and once after the binding is over.
TEST_P(RemovalDuringBindingTest, AtEachStepOfTheBinding) {
    constexpr size_t kFewestSteps = 50;  // opening, querying, the version, the vendor channel, the configuration
    size_t steps = 0;
    for (size_t step = 1;; ++step) {
        Scenario scenario(GetParam());
        std::string call;
        bool inside = scenario.unplug_at_step(step, &call);
        scenario.check("step " + std::to_string(step) + (inside ? " (" + call + ")" : " (after the binding)"));
        if (!inside) break;
        ++steps;
        if (::testing::Test::HasFailure()) break;  // one broken point says enough
    }
    EXPECT_GT(steps, kFewestSteps) << "the binding has more steps than that";
    RecordProperty("steps", static_cast<int>(steps));
}

// Pulled out at offsets in virtual time after the plug, from the first
// microsecond to after the binding's end.
TEST_P(RemovalDuringBindingTest, AtOffsetsInVirtualTime) {
    for (uint64_t microseconds : {0u, 1u, 10u, 100u, 500u, 1000u, 1500u, 2000u, 3000u, 5000u, 8000u, 13000u, 21000u,
                                  34000u, 55000u, 89000u, 144000u, 233000u, 377000u, 610000u}) {
        Scenario scenario(GetParam());
        scenario.unplug_after(microseconds * platform::kTicksPerMicrosecond);
        scenario.check(std::to_string(microseconds) + " us after the plug");
        if (::testing::Test::HasFailure()) break;
    }
}

INSTANTIATE_TEST_SUITE_P(Models, RemovalDuringBindingTest, ::testing::Values(VexaModel::CantileQk, VexaModel::CantileQe),
                         [](const auto& info) {
                             return info.param == VexaModel::CantileQk ? std::string("CantileQk")
                                                                       : std::string("CantileQe");
                         });

}  // namespace
