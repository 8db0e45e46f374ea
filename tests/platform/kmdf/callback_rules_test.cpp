// The framework's rules at the edges of a driver's code: a callback returns
// at the level it was called at and holds none of its spin locks, and a wait
// lock is released only by the thread that holds it. Each broken rule is
// reported, and the thread goes on at its own level.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <functional>
#include <thread>

#include "platform/kmdf/wdf.h"
#include "platform/machine/driver_loader.h"
#include "platform/machine/machine.h"
#include "platform/machine/pnp_manager.h"
#include "support/queue_probe_driver.h"
#include "support/root_machine.h"
#include "support/rule_recorder.h"

namespace {

WDFSPINLOCK g_spinLock = nullptr;
std::function<void()> g_cleanupBody;

void CleanupCallback(WDFOBJECT) { g_cleanupBody(); }

// Deletes an object whose clean-up callback runs `body`; the violations it caused.
std::vector<std::string> DeleteWithCleanup(std::function<void()> body, bool atDispatch = false) {
    g_cleanupBody = std::move(body);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = CleanupCallback;
    WDFOBJECT object = nullptr;
    EXPECT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
    vexa::test::RuleRecorder rules;
    if (atDispatch) {
        platform::DispatchLevelScope dispatch;
        WdfObjectDelete(object);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL) << "the caller's level is put back";
    } else {
        WdfObjectDelete(object);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the caller's level is put back";
    }
    return rules.violations();
}

// A callback that leaves its level raised or lowered, or keeps a spin lock,
// is caught on its way back; a balanced one is not.
TEST(CallbackRulesTest, CallbacksReturnAtTheirLevelWithoutSpinLocks) {
    platform::Machine machine;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &g_spinLock), STATUS_SUCCESS);
    struct Case {
        const char* name;
        std::function<void()> body;
        bool atDispatch;
        std::vector<std::string> rules;  // the rules broken, in order
    };
    const Case cases[] = {
        {"balanced lock", [] { WdfSpinLockAcquire(g_spinLock); WdfSpinLockRelease(g_spinLock); }, false, {}},
        {"left at DISPATCH_LEVEL", [] { KIRQL old; KeRaiseIrql(DISPATCH_LEVEL, &old); }, false, {"IRQL"}},
        {"spin lock kept", [] { WdfSpinLockAcquire(g_spinLock); }, false, {"IRQL", "spin lock"}},
        {"spin lock kept at DISPATCH_LEVEL", [] { WdfSpinLockAcquire(g_spinLock); }, true, {"spin lock"}},
        {"lowered below its level", [] { KeLowerIrql(PASSIVE_LEVEL); }, true, {"IRQL"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> seen = DeleteWithCleanup(c.body, c.atDispatch);
        ASSERT_EQ(seen.size(), c.rules.size()) << c.name << (seen.empty() ? "" : ": " + seen[0]);
        for (size_t i = 0; i < seen.size(); ++i) {
            EXPECT_EQ(seen[i].substr(0, seen[i].find(':')), c.rules[i]) << c.name << ": " << seen[i];
        }
        // The test, not the callback, gives a kept lock back.
        if (platform::spin_locks_held() != 0) {
            platform::DispatchLevelScope keep;
            WdfSpinLockRelease(g_spinLock);
        }
        EXPECT_EQ(platform::spin_locks_held(), 0u) << c.name;
    }
    WdfObjectDelete(g_spinLock);
}

// An I/O callback that returns to the queue at DISPATCH_LEVEL is reported,
// and the sender's thread is back at PASSIVE_LEVEL when the call returns.
TEST(CallbackRulesTest, IoCallbackReturningRaisedIsReported) {
    void* image = dlopen(VEXA_QUEUE_PROBE_DRIVER, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(image, nullptr);
    {
        platform::Machine machine;
        machine.drivers().install("VexaQueueProbe", VEXA_QUEUE_PROBE_DRIVER);
        machine.pnp().add_node(u"ROOT\\VEXAQUEUEPROBE\\0000", {u"Root\\VexaQueueProbe"}, "VexaQueueProbe");
        constexpr GUID kProbeClass{0x51554555, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
        HANDLE handle = CreateFileW(vexa::test::InterfacePath(kProbeClass).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        vexa::test::RuleRecorder rules;
        uint32_t tag = 1;
        EXPECT_EQ(vexa::test::Send(handle, kQueueProbeReturnRaised, &tag, sizeof(tag), nullptr, 0).status,
                  STATUS_SUCCESS);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        ASSERT_EQ(rules.count(), 1u);
        EXPECT_NE(rules.violations()[0].find("EvtIoDeviceControl returned to the framework at IRQL 2"),
                  std::string::npos)
            << rules.violations()[0];
        CloseHandle(handle);
        platform::win32::set_default_process(nullptr);
    }
    dlclose(image);
}

// A wait lock released by a thread that does not hold it is reported and
// stays with its holder, whose own release then works.
TEST(CallbackRulesTest, WaitLockReleasedOnlyByItsHolder) {
    platform::Machine machine;
    WDFWAITLOCK lock = nullptr;
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    LONGLONG poll = 0;
    {
        vexa::test::RuleRecorder rules;
        WdfWaitLockRelease(lock);
        EXPECT_EQ(rules.count(), 1u) << "released while nobody held it";
        EXPECT_EQ(WdfWaitLockAcquire(lock, &poll), STATUS_SUCCESS) << "and it still works";
        WdfWaitLockRelease(lock);
        EXPECT_EQ(rules.count(), 1u);
    }
    std::mutex step;
    std::condition_variable changed;
    int stage = 0;  // 1: the holder has it; 2: the other thread tried; 3: released
    std::thread holder([&] {
        ASSERT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
        std::unique_lock guard(step);
        stage = 1;
        changed.notify_all();
        changed.wait(guard, [&] { return stage == 2; });
        WdfWaitLockRelease(lock);
        stage = 3;
        changed.notify_all();
    });
    vexa::test::RuleRecorder rules;
    {
        std::unique_lock guard(step);
        changed.wait(guard, [&] { return stage == 1; });
    }
    WdfWaitLockRelease(lock);
    EXPECT_EQ(rules.count(), 1u) << "released by a thread that does not hold it";
    EXPECT_EQ(WdfWaitLockAcquire(lock, &poll), STATUS_TIMEOUT) << "still the holder's";
    {
        std::unique_lock guard(step);
        stage = 2;
        changed.notify_all();
        changed.wait(guard, [&] { return stage == 3; });
    }
    holder.join();
    EXPECT_EQ(rules.count(), 1u) << "the holder's own release is fine";
    EXPECT_EQ(WdfWaitLockAcquire(lock, &poll), STATUS_SUCCESS);
    WdfWaitLockRelease(lock);
    WdfObjectDelete(lock);
}

}  // namespace
