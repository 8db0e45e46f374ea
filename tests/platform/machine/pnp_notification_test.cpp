// Device-interface notifications: interfaces present at registration, later
// arrivals and removals, one callback at a time at PASSIVE_LEVEL, and an
// unregistration that waits for a callback in flight.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <thread>

#include "platform/kernel/irql.h"
#include "platform/kernel/ntstatus.h"
#include "platform/kernel/pnp_notify.h"
#include "platform/machine/driver_loader.h"
#include "platform/machine/machine.h"
#include "platform/machine/pnp_manager.h"
#include "support/probe.h"

namespace {

constexpr GUID kProbeInterface = {kProbeInterfaceData1, 0x7B1D, 0x4E2A, {0x9F, 0x00, 0x1C, 0x2D, 0x3E, 0x4F, 0x5A, 0x6B}};

struct Seen {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::pair<bool, std::u16string>> events;  // arrival?, link
    std::atomic<int> inside{0};
    std::atomic<int> mostInside{0};
    bool passive = true;
    bool block = false;  // the next callback waits until cleared
    bool blocked = false;
};

NTSTATUS Record(PVOID structure, PVOID context) {
    auto* seen = static_cast<Seen*>(context);
    auto* n = static_cast<DEVICE_INTERFACE_CHANGE_NOTIFICATION*>(structure);
    int now = ++seen->inside;
    seen->mostInside = std::max(seen->mostInside.load(), now);
    std::unique_lock guard(seen->lock);
    seen->passive = seen->passive && KeGetCurrentIrql() == PASSIVE_LEVEL;
    seen->events.emplace_back(n->Event == GUID_DEVICE_INTERFACE_ARRIVAL,
                              std::u16string(n->SymbolicLinkName->Buffer, n->SymbolicLinkName->Length / 2));
    if (seen->block) {
        seen->blocked = true;
        seen->changed.notify_all();
        seen->changed.wait(guard, [seen] { return !seen->block; });
    }
    --seen->inside;
    return STATUS_SUCCESS;
}

class PnpNotificationTest : public ::testing::Test {
protected:
    PnpNotificationTest() : probe_(VEXA_PROBE_DRIVER) { machine_.drivers().install("VexaProbe", probe_.path()); }

    platform::DevNode* add(const char16_t* instance) {
        return machine_.pnp().add_node(instance, {u"Root\\VexaProbe"}, "VexaProbe");
    }
    PVOID enroll(Seen* seen, ULONG flags) {
        GUID interfaceClass = kProbeInterface;
        PVOID entry = nullptr;
        EXPECT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, flags, &interfaceClass, nullptr,
                                                 Record, seen, &entry),
                  STATUS_SUCCESS);
        return entry;
    }

    vexa::test::ProbeImage probe_;
    platform::Machine machine_;
};

// Existing interfaces come first with the flag, never without it; later changes follow in order.
TEST_F(PnpNotificationTest, ExistingThenLaterChanges) {
    add(u"ROOT\\VEXAPROBE\\0000");
    Seen with, without;
    PVOID a = enroll(&with, PNPNOTIFY_DEVICE_INTERFACE_INCLUDE_EXISTING_INTERFACES);
    PVOID b = enroll(&without, 0);
    platform::drain_pnp_notifications();
    ASSERT_EQ(with.events.size(), 1u);
    EXPECT_TRUE(with.events[0].first);
    EXPECT_TRUE(without.events.empty());

    platform::DevNode* second = add(u"ROOT\\VEXAPROBE\\0001");
    machine_.pnp().remove(*second);
    platform::drain_pnp_notifications();
    ASSERT_EQ(without.events.size(), 2u);
    EXPECT_TRUE(without.events[0].first);
    EXPECT_FALSE(without.events[1].first);
    EXPECT_EQ(without.events[0].second, without.events[1].second);
    EXPECT_NE(without.events[0].second, with.events[0].second);
    EXPECT_TRUE(with.passive && without.passive);
    EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(a), STATUS_SUCCESS);
    EXPECT_EQ(IoUnregisterPlugPlayNotificationEx(b), STATUS_SUCCESS);

    // Nothing reaches an ended registration.
    add(u"ROOT\\VEXAPROBE\\0002");
    platform::drain_pnp_notifications();
    EXPECT_EQ(without.events.size(), 2u);
}

// Callbacks run one at a time, even for changes that come together.
TEST_F(PnpNotificationTest, CallbacksAreSerialised) {
    Seen seen;
    PVOID entry = enroll(&seen, 0);
    std::thread other([this] { add(u"ROOT\\VEXAPROBE\\0010"); });
    add(u"ROOT\\VEXAPROBE\\0011");
    other.join();
    platform::drain_pnp_notifications();
    EXPECT_EQ(seen.events.size(), 2u);
    EXPECT_EQ(seen.mostInside.load(), 1);
    IoUnregisterPlugPlayNotificationEx(entry);
}

// Unregistering waits for a callback in flight; a callback may end its own registration.
TEST_F(PnpNotificationTest, UnregistrationWaitsForACallbackInFlight) {
    Seen seen;
    seen.block = true;
    PVOID entry = enroll(&seen, 0);
    add(u"ROOT\\VEXAPROBE\\0020");
    {
        std::unique_lock guard(seen.lock);
        seen.changed.wait(guard, [&] { return seen.blocked; });
    }
    std::atomic<bool> done{false};
    std::thread unregister([&] {
        IoUnregisterPlugPlayNotificationEx(entry);
        done = true;
    });
    // The callback is still inside: the unregistration cannot have returned.
    for (int i = 0; i < 100 && !done; ++i) std::this_thread::yield();
    EXPECT_FALSE(done.load());
    {
        std::lock_guard guard(seen.lock);
        seen.block = false;
    }
    seen.changed.notify_all();
    unregister.join();
    EXPECT_TRUE(done.load());

    struct SelfEnding {
        PVOID entry = nullptr;
        int calls = 0;
    } self;
    GUID interfaceClass = kProbeInterface;
    auto callback = [](PVOID, PVOID context) {
        auto* s = static_cast<SelfEnding*>(context);
        ++s->calls;
        return IoUnregisterPlugPlayNotificationEx(s->entry);
    };
    // Without existing interfaces: their callbacks may come before the entry is stored.
    ASSERT_EQ(IoRegisterPlugPlayNotification(EventCategoryDeviceInterfaceChange, 0, &interfaceClass, nullptr, callback,
                                             &self, &self.entry),
              STATUS_SUCCESS);
    add(u"ROOT\\VEXAPROBE\\0021");
    add(u"ROOT\\VEXAPROBE\\0022");
    platform::drain_pnp_notifications();
    EXPECT_EQ(self.calls, 1) << "ended by its first callback";
}

}  // namespace
