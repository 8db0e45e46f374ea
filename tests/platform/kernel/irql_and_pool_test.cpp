#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/kernel/fault.h"
#include "platform/kernel/ntddk.h"
#include "platform/machine/machine.h"
#include "support/rule_recorder.h"

namespace {

constexpr ULONG kTagA = 0x41414141;
constexpr ULONG kTagB = 0x42424242;

// Guards against a spin lock that forgets to raise (or restore) the IRQL.
TEST(IrqlTest, SpinLockRunsItsHolderAtDispatchLevel) {
    platform::Machine machine;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// Each case is a call the kernel forbids at DISPATCH_LEVEL; the layer must catch it, not let it pass.
TEST(IrqlTest, BlockingCallsAbovePassiveAreCaught) {
    platform::Machine machine;
    struct Case {
        const char* name;
        void (*call)();
    };
    const Case cases[] = {
        {"timed wait",
         [] {
             KEVENT event;
             KeInitializeEvent(&event, NotificationEvent, FALSE);
             LARGE_INTEGER timeout;
             timeout.QuadPart = -10'000;
             KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
         }},
        {"delay",
         [] {
             LARGE_INTEGER interval;
             interval.QuadPart = -10'000;
             KeDelayExecutionThread(KernelMode, FALSE, &interval);
         }},
        {"paged pool", [] { ExFreePool(ExAllocatePoolWithTag(PagedPool, 16, kTagA)); }},
    };
    for (const Case& c : cases) {
        vexa::test::RuleRecorder recorder;
        {
            platform::DispatchLevelScope dispatch;
            c.call();
        }
        EXPECT_GE(recorder.count(), 1u) << c.name;
    }
}

// A zero-timeout poll is legal at DISPATCH_LEVEL and must not be reported.
TEST(IrqlTest, PollingAnEventAtDispatchIsAllowed) {
    platform::Machine machine;
    vexa::test::RuleRecorder recorder;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    platform::DispatchLevelScope dispatch;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    EXPECT_EQ(recorder.count(), 0u);
}

// Without a recorder the default handler aborts: an IRQL violation fails the test that made it.
TEST(IrqlDeathTest, WaitAtDispatchAbortsByDefault) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            platform::Machine machine;
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            KEVENT event;
            KeInitializeEvent(&event, NotificationEvent, FALSE);
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        },
        "kernel rule violated: IRQL");
}

// A recursive acquisition deadlocks on Windows; here it must be reported instead of hanging.
TEST(IrqlTest, RecursiveSpinLockIsCaught) {
    platform::Machine machine;
    vexa::test::RuleRecorder recorder;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    KIRQL again;
    KeAcquireSpinLock(&lock, &again);
    EXPECT_EQ(recorder.count(), 1u);
    KeReleaseSpinLock(&lock, old);
}

// Guards against the level checks passing a raise below (or a lower above)
// the current level: each is reported with the levels involved.
TEST(IrqlTest, RaiseBelowAndLowerAboveAreReported) {
    platform::Machine machine;
    vexa::test::RuleRecorder recorder;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(recorder.count(), 0u);
    KIRQL ignored;
    KeRaiseIrql(APC_LEVEL, &ignored);
    ASSERT_EQ(recorder.count(), 1u);
    EXPECT_NE(recorder.violations()[0].find("KeRaiseIrql to 1 below the current level 2"), std::string::npos)
        << recorder.violations()[0];
    KeLowerIrql(PASSIVE_LEVEL);
    KeLowerIrql(DISPATCH_LEVEL);
    ASSERT_EQ(recorder.count(), 2u);
    EXPECT_NE(recorder.violations()[1].find("KeLowerIrql to 2 above the current level 0"), std::string::npos)
        << recorder.violations()[1];
    KeLowerIrql(PASSIVE_LEVEL);
    platform::require_dispatch_or_below("a check at passive level");
    EXPECT_EQ(recorder.count(), 2u);
}

// Guards against a spin lock released by a thread that does not hold it:
// reported, and the lock stays with its holder (whose count of held locks is
// untouched), so the holder's own release still works.
TEST(IrqlTest, SpinLockReleasedByAnotherThreadIsReportedAndKept) {
    platform::Machine machine;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    std::mutex step;
    std::condition_variable changed;
    int stage = 0;  // 1: held; 2: the other thread tried its release; 3: the holder released
    unsigned heldAfter = 0;
    std::thread holder([&] {
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        std::unique_lock guard(step);
        stage = 1;
        changed.notify_all();
        changed.wait(guard, [&] { return stage == 2; });
        heldAfter = platform::spin_locks_held();
        KeReleaseSpinLock(&lock, old);
        stage = 3;
        changed.notify_all();
    });
    vexa::test::RuleRecorder recorder;
    {
        std::unique_lock guard(step);
        changed.wait(guard, [&] { return stage == 1; });
        KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
        EXPECT_EQ(recorder.count(), 1u);
        EXPECT_NE(lock, 0u) << "the holder still has it";
        EXPECT_EQ(platform::spin_locks_held(), 0u) << "the failed release took nothing off this thread";
        stage = 2;
        changed.notify_all();
        changed.wait(guard, [&] { return stage == 3; });
    }
    holder.join();
    EXPECT_EQ(heldAfter, 1u);
    EXPECT_EQ(lock, 0u);
    EXPECT_EQ(recorder.count(), 1u) << "the holder's release is no violation";
}

// Pool accounting is what proves a driver freed all it took; it must count per tag and per block.
TEST(PoolTest, AccountsPerTag) {
    platform::Machine machine;
    auto before = platform::pool::stats(kTagA);
    void* a1 = ExAllocatePoolWithTag(NonPagedPoolNx, 100, kTagA);
    void* a2 = ExAllocatePoolWithTag(NonPagedPoolNx, 28, kTagA);
    void* b1 = ExAllocatePoolWithTag(NonPagedPool, 7, kTagB);
    ASSERT_NE(a1, nullptr);
    ASSERT_NE(b1, nullptr);
    EXPECT_EQ(platform::pool::stats(kTagA).bytes - before.bytes, 128);
    EXPECT_EQ(platform::pool::stats(kTagA).blocks - before.blocks, 2);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a2) % 16, 0u);
    EXPECT_GE(platform::pool::stats(kTagB).executableAllocations, 1u);
    ExFreePoolWithTag(a1, kTagA);
    ExFreePoolWithTag(a2, kTagA);
    ExFreePoolWithTag(b1, kTagB);
    EXPECT_EQ(platform::pool::stats(kTagA).bytes, before.bytes);
    EXPECT_EQ(platform::pool::stats(kTagA).blocks, before.blocks);
}

// Freeing under another tag is a driver bug Windows can catch; the layer must too.
TEST(PoolTest, FreeWithTheWrongTagIsCaught) {
    platform::Machine machine;
    vexa::test::RuleRecorder recorder;
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    ExFreePoolWithTag(block, kTagB);
    EXPECT_EQ(recorder.count(), 1u);
}

// A second free, or a free of memory the pool never gave out, is caught
// without reading the block's header (which is freed or not ours) and
// leaves the accounting alone.
TEST(PoolTest, FreeOfWhatIsNoLiveBlockIsCaught) {
    platform::Machine machine;
    struct Case {
        const char* name;
        std::function<void()> free;
    };
    void* twice = ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTagA);
    ExFreePoolWithTag(twice, kTagA);
    alignas(16) uint8_t stack[64] = {};
    auto* heap = new uint8_t[64]();
    const Case cases[] = {
        {"freed twice", [&] { ExFreePoolWithTag(twice, kTagA); }},
        {"freed twice without a tag", [&] { ExFreePool(twice); }},
        {"stack memory", [&] { ExFreePool(stack + 32); }},
        {"heap memory", [&] { ExFreePoolWithTag(heap + 32, kTagA); }},
    };
    for (const Case& c : cases) {
        vexa::test::RuleRecorder recorder;
        auto before = platform::pool::stats(kTagA);
        c.free();
        EXPECT_EQ(recorder.count(), 1u) << c.name;
        EXPECT_EQ(platform::pool::stats(kTagA).blocks, before.blocks) << c.name;
        EXPECT_EQ(platform::pool::stats(kTagA).bytes, before.bytes) << c.name;
    }
    delete[] heap;
}

// Failure paths need a pool that can refuse: the injected fault fires once, then allocations work again.
TEST(PoolTest, InjectedExhaustionRefusesOnce) {
    platform::Machine machine;
    platform::fault::inject("ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES, 1, 1);
    void* first = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    void* second = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    void* third = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTagA);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    ExFreePoolWithTag(first, kTagA);
    ExFreePoolWithTag(third, kTagA);
}

}  // namespace
