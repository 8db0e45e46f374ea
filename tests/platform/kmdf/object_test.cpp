#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/kmdf/wdf.h"
#include "platform/machine/machine.h"
#include "support/rule_recorder.h"

namespace {

struct TEST_CONTEXT {
    int value;
    char tag[8];
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TEST_CONTEXT, GetTestContext)

struct OTHER_CONTEXT {
    uint64_t word;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(OTHER_CONTEXT, GetOtherContext)

std::vector<std::string>* g_order;

void RecordCleanup(WDFOBJECT object) { g_order->push_back(std::string("cleanup:") + GetTestContext(object)->tag); }
void RecordDestroy(WDFOBJECT object) { g_order->push_back(std::string("destroy:") + GetTestContext(object)->tag); }

WDFOBJECT MakeObject(const char* tag, WDFOBJECT parent) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TEST_CONTEXT);
    attributes.ParentObject = parent;
    attributes.EvtCleanupCallback = RecordCleanup;
    attributes.EvtDestroyCallback = RecordDestroy;
    WDFOBJECT object = nullptr;
    EXPECT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
    std::strncpy(GetTestContext(object)->tag, tag, sizeof(TEST_CONTEXT::tag) - 1);
    return object;
}

// Children go before their parent, newest first; a reference keeps the memory until it is dropped.
TEST(KmdfObjectsTest, DeletionRunsChildrenFirstAndDestroysOnLastReference) {
    platform::Machine machine;
    std::vector<std::string> order;
    g_order = &order;
    WDFOBJECT parent = MakeObject("p", nullptr);
    MakeObject("a", parent);
    WDFOBJECT b = MakeObject("b", parent);
    MakeObject("b1", b);
    WdfObjectReference(b);
    WdfObjectDelete(parent);
    EXPECT_EQ(order, (std::vector<std::string>{"cleanup:b1", "destroy:b1", "cleanup:b", "cleanup:a", "destroy:a",
                                               "cleanup:p", "destroy:p"}));
    order.clear();
    WdfObjectDereference(b);
    EXPECT_EQ(order, std::vector<std::string>{"destroy:b"});
}

// Contexts are typed: each type finds its own zeroed block, a missing one is null.
TEST(KmdfObjectsTest, ContextsAreTypedAndZeroed) {
    platform::Machine machine;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TEST_CONTEXT);
    WDFOBJECT object;
    ASSERT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
    EXPECT_EQ(GetTestContext(object)->value, 0);
    EXPECT_EQ(GetOtherContext(object), nullptr);
    WDF_OBJECT_ATTRIBUTES other;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&other, OTHER_CONTEXT);
    PVOID block;
    ASSERT_EQ(WdfObjectAllocateContext(object, &other, &block), STATUS_SUCCESS);
    EXPECT_EQ(GetOtherContext(object), block);
    EXPECT_NE(WdfObjectAllocateContext(object, &other, &block), STATUS_SUCCESS);
    WdfObjectDelete(object);
}

// Many contexts on one object: those past the first few are found too, each
// type keeps its own block, and a lookup racing an addition never sees a
// half-written entry (guards the lock-free lookup of the first contexts).
struct CONTEXT_1 { uint64_t word; };
struct CONTEXT_2 { uint64_t word; };
struct CONTEXT_3 { uint64_t word; };
struct CONTEXT_4 { uint64_t word; };
struct CONTEXT_5 { uint64_t word; };
struct CONTEXT_6 { uint64_t word; };
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(CONTEXT_1, GetContext1)
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(CONTEXT_2, GetContext2)
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(CONTEXT_3, GetContext3)
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(CONTEXT_4, GetContext4)
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(CONTEXT_5, GetContext5)
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(CONTEXT_6, GetContext6)

TEST(KmdfObjectsTest, ManyContextsAreEachFoundWhileOthersAreAdded) {
    platform::Machine machine;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TEST_CONTEXT);
    WDFOBJECT object;
    ASSERT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
    GetTestContext(object)->value = 7;
    std::atomic<bool> done{false};
    std::atomic<uint64_t> wrong{0};
    std::thread reader([&] {
        while (!done.load()) wrong += GetTestContext(object) == nullptr || GetTestContext(object)->value != 7;
    });
    const WDF_OBJECT_CONTEXT_TYPE_INFO* types[] = {WDF_GET_CONTEXT_TYPE_INFO(CONTEXT_1), WDF_GET_CONTEXT_TYPE_INFO(CONTEXT_2),
                                                   WDF_GET_CONTEXT_TYPE_INFO(CONTEXT_3), WDF_GET_CONTEXT_TYPE_INFO(CONTEXT_4),
                                                   WDF_GET_CONTEXT_TYPE_INFO(CONTEXT_5), WDF_GET_CONTEXT_TYPE_INFO(CONTEXT_6)};
    std::vector<PVOID> blocks;
    for (const WDF_OBJECT_CONTEXT_TYPE_INFO* type : types) {
        WDF_OBJECT_ATTRIBUTES more;
        WDF_OBJECT_ATTRIBUTES_INIT(&more);
        more.ContextTypeInfo = type;
        PVOID block = nullptr;
        ASSERT_EQ(WdfObjectAllocateContext(object, &more, &block), STATUS_SUCCESS);
        ASSERT_NE(block, nullptr);
        blocks.push_back(block);
        EXPECT_NE(WdfObjectAllocateContext(object, &more, &block), STATUS_SUCCESS);  // each type once
    }
    done = true;
    reader.join();
    EXPECT_EQ(wrong.load(), 0u);
    EXPECT_EQ(static_cast<PVOID>(GetContext1(object)), blocks[0]);
    EXPECT_EQ(static_cast<PVOID>(GetContext4(object)), blocks[3]);
    EXPECT_EQ(static_cast<PVOID>(GetContext5(object)), blocks[4]);
    EXPECT_EQ(static_cast<PVOID>(GetContext6(object)), blocks[5]);
    EXPECT_EQ(GetTestContext(object)->value, 7);
    WdfObjectDelete(object);
}

// A memory object's buffer comes from the pool under the caller's tag and goes back with the object.
TEST(KmdfObjectsTest, MemoryObjectsCountInTheirTag) {
    platform::Machine machine;
    constexpr ULONG kTag = 0x4D52414B;
    auto before = platform::pool::outstanding_bytes(kTag);
    WDFMEMORY memory;
    PVOID buffer;
    ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, kTag, 300, &memory, &buffer), STATUS_SUCCESS);
    EXPECT_EQ(platform::pool::outstanding_bytes(kTag) - before, 300);
    size_t size = 0;
    EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), buffer);
    EXPECT_EQ(size, 300u);
    char text[] = "abc";
    EXPECT_EQ(WdfMemoryCopyFromBuffer(memory, 298, text, 3), STATUS_BUFFER_TOO_SMALL);
    WdfObjectDelete(memory);
    EXPECT_EQ(platform::pool::outstanding_bytes(kTag), before);
}

// A handle used after its object was deleted is caught, not dereferenced.
TEST(KmdfObjectsTest, StaleHandlesAreCaught) {
    platform::Machine machine;
    vexa::test::RuleRecorder recorder;
    WDFSPINLOCK lock;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    WDFWAITLOCK wait;
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &wait), STATUS_SUCCESS);
    WdfSpinLockAcquire(lock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    WdfSpinLockRelease(lock);
    // Passing a lock of one kind where another is expected is a type error the layer reports.
    WdfSpinLockAcquire(reinterpret_cast<WDFSPINLOCK>(wait));
    EXPECT_EQ(recorder.count(), 1u);
    LONGLONG zero = 0;
    EXPECT_EQ(WdfWaitLockAcquire(wait, &zero), STATUS_SUCCESS);
    EXPECT_EQ(WdfWaitLockAcquire(wait, &zero), STATUS_TIMEOUT);
    WdfWaitLockRelease(wait);
    WdfObjectDelete(lock);
    WdfObjectDelete(wait);
}

}  // namespace
