// Kernel memory mapped into user processes through MDLs, and user events the
// kernel takes by handle, over both roads into the machine: a process in this
// program and one behind the machine's socket (served here, so the test sees
// both ends), of either bitness.
#include <gtest/gtest.h>

#include <thread>

#include "platform/kernel/fault.h"
#include "platform/kernel/ntddk.h"
#include "platform/machine/machine.h"
#include "platform/machine/process.h"
#include "platform/machine/socket_server.h"
#include "platform/win32/user_process.h"
#include "platform/win32/windows.h"
#include "support/rule_recorder.h"
#include "support/temp_dir.h"

namespace {

using platform::win32::UserProcess;
using vexa::test::RuleRecorder;

constexpr ULONG kTag = 0x74736574;  // 'test'

enum class Road { Local, Socket };

struct Case {
    Road road;
    bool is32Bit;
};

class MappingTest : public ::testing::TestWithParam<Case> {
protected:
    MappingTest() {
        if (GetParam().road == Road::Socket) {
            server_ = std::make_unique<platform::SocketServer>((dir_.path() / "machine.sock").string());
            std::string error;
            EXPECT_TRUE(server_->start(&error)) << error;
        }
        process_ = make_process(GetParam().is32Bit);
        platform::win32::set_default_process(process_);
    }
    ~MappingTest() override {
        platform::win32::set_default_process(nullptr);
        process_.reset();
        server_.reset();
    }

    std::shared_ptr<UserProcess> make_process(bool is32Bit) {
        if (GetParam().road == Road::Local) return platform::win32::create_local_process(is32Bit, "test");
        std::string error;
        auto process =
            platform::win32::connect_to_machine((dir_.path() / "machine.sock").string(), is32Bit, "test", &error);
        EXPECT_TRUE(process) << error;
        return process;
    }
    // The machine's side of a process.
    std::shared_ptr<platform::Process> kernel_side(const std::shared_ptr<UserProcess>& process) {
        return machine_.processes().find(process->process_id());
    }

    // A block of `bytes` mapped into the process as a driver maps it, in the process's context.
    PVOID map(PMDL mdl, const std::shared_ptr<UserProcess>& process, NTSTATUS* raised = nullptr) {
        auto side = kernel_side(process);
        platform::CurrentProcessScope scope(side.get());
        PVOID address = nullptr;
        NTSTATUS status = TryExcept([&] {
            address = MmMapLockedPagesSpecifyCache(mdl, UserMode, MmNonCached, nullptr, FALSE,
                                                   NormalPagePriority | MdlMappingNoExecute);
        });
        if (raised != nullptr) *raised = status;
        return address;
    }

    // Undoes a mapping as a handle's cleanup does, in the process's context.
    void unmap(PVOID user, PMDL mdl, const std::shared_ptr<UserProcess>& process) {
        platform::CurrentProcessScope scope(kernel_side(process).get());
        MmUnmapLockedPages(user, mdl);
    }

    PMDL describe(void* address, ULONG bytes) {
        PMDL mdl = IoAllocateMdl(address, bytes, FALSE, FALSE, nullptr);
        EXPECT_NE(mdl, nullptr);
        MmBuildMdlForNonPagedPool(mdl);
        return mdl;
    }

    vexa::test::TempDir dir_;
    platform::Machine machine_;
    std::unique_ptr<platform::SocketServer> server_;
    std::shared_ptr<UserProcess> process_;
};

// The process sees the kernel's very bytes at an address of its own, in both directions; a 32-bit one below 4 GiB.
TEST_P(MappingTest, PoolPagesReachTheProcess) {
    constexpr size_t kBytes = 2 * PAGE_SIZE + 100;
    auto* kernel = static_cast<uint8_t*>(ExAllocatePoolWithTag(NonPagedPoolNx, kBytes, kTag));
    ASSERT_NE(kernel, nullptr);
    ASSERT_EQ(reinterpret_cast<uintptr_t>(kernel) % PAGE_SIZE, 0u) << "a block of a page or more owns its pages";
    for (size_t i = 0; i < kBytes; ++i) kernel[i] = static_cast<uint8_t>(i * 7);
    PMDL whole = describe(kernel, kBytes);
    // An MDL may start inside the block: the process gets the same offset into its page.
    PMDL inner = describe(kernel + PAGE_SIZE + 24, 200);

    auto* user = static_cast<uint8_t*>(map(whole, process_));
    auto* userInner = static_cast<uint8_t*>(map(inner, process_));
    ASSERT_NE(user, nullptr);
    ASSERT_NE(userInner, nullptr);
    EXPECT_NE(user, kernel) << "a mapping of the process's own";
    EXPECT_EQ(reinterpret_cast<uintptr_t>(userInner) % PAGE_SIZE, 24u);
    if (GetParam().is32Bit) {
        EXPECT_LE(reinterpret_cast<uint64_t>(user) + ROUND_TO_PAGES(kBytes), platform::k4GiB);
        EXPECT_LE(reinterpret_cast<uint64_t>(userInner) + PAGE_SIZE, platform::k4GiB);
    }
    EXPECT_EQ(std::memcmp(user, kernel, kBytes), 0);
    EXPECT_EQ(userInner[0], kernel[PAGE_SIZE + 24]);
    user[kBytes - 1] = 0x5A;
    EXPECT_EQ(kernel[kBytes - 1], 0x5A) << "what the process writes, the kernel reads";

    auto mappings = platform::mdl::user_mappings();
    ASSERT_EQ(mappings.size(), 2u);
    EXPECT_EQ(mappings[0].processId, process_->process_id());
    EXPECT_EQ(mappings[0].address, user);
    EXPECT_EQ(mappings[0].bytes, 3 * PAGE_SIZE);
    EXPECT_EQ(mappings[0].cacheType, MmNonCached);
    EXPECT_TRUE(mappings[0].noExecute);
    EXPECT_EQ(kernel_side(process_)->mapping_count(), 2u);

    unmap(user, whole, process_);
    unmap(userInner, inner, process_);
    EXPECT_TRUE(platform::mdl::user_mappings().empty());
    IoFreeMdl(whole);
    IoFreeMdl(inner);
    EXPECT_EQ(platform::mdl::outstanding(), 0u);
    ExFreePoolWithTag(kernel, kTag);
    EXPECT_EQ(kernel_side(process_)->mapping_count(), 0u);
}

// A mapping is undone only in its own process's context, where a handle's cleanup runs: a worker of no process (a
// device's removal) or another process's thread would unmap an address of its own on Windows, so either is a broken
// rule and the host keeps its mapping. Any thread of the process itself undoes it.
TEST_P(MappingTest, UnmapOnlyInTheOwnersContext) {
    RuleRecorder rules;
    auto other = make_process(!GetParam().is32Bit);
    void* kernel = ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE, kTag);
    PMDL mdl = describe(kernel, 40);
    PVOID user = map(mdl, process_);
    ASSERT_NE(user, nullptr);
    std::thread worker([&] { MmUnmapLockedPages(user, mdl); });
    worker.join();
    EXPECT_EQ(rules.count(), 1u) << "a thread of no process";
    std::thread foreign([&] {
        platform::CurrentProcessScope scope(kernel_side(other).get());
        MmUnmapLockedPages(user, mdl);
    });
    foreign.join();
    EXPECT_EQ(rules.count(), 2u) << "another process's thread";
    EXPECT_EQ(kernel_side(process_)->mapping_count(), 1u) << "the host keeps its mapping";
    EXPECT_EQ(platform::mdl::user_mappings().size(), 1u);

    std::thread cleanup([&] {
        platform::CurrentProcessScope scope(kernel_side(process_).get());
        MmUnmapLockedPages(user, mdl);
        IoFreeMdl(mdl);
    });
    cleanup.join();
    EXPECT_EQ(rules.count(), 2u);
    EXPECT_EQ(kernel_side(process_)->mapping_count(), 0u);
    EXPECT_TRUE(platform::mdl::user_mappings().empty());
    ExFreePoolWithTag(kernel, kTag);
}

// An ended process took its mappings with it; the driver's late unmap is harmless.
TEST_P(MappingTest, AProcessThatEndedTookItsMappings) {
    auto host = make_process(GetParam().is32Bit);
    void* kernel = ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE, kTag);
    PMDL mdl = describe(kernel, PAGE_SIZE);
    PVOID user = map(mdl, host);
    ASSERT_NE(user, nullptr);
    auto side = kernel_side(host);
    host.reset();
    if (server_) server_->wait_for_connections(1);
    machine_.processes().end(side->id());
    EXPECT_EQ(side->mapping_count(), 0u);
    side.reset();
    MmUnmapLockedPages(user, mdl);
    IoFreeMdl(mdl);
    ExFreePoolWithTag(kernel, kTag);
    EXPECT_TRUE(platform::mdl::user_mappings().empty());
}

// A failed mapping raises, as Windows does, and leaves nothing mapped.
TEST_P(MappingTest, AFailedMappingRaises) {
    void* kernel = ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE, kTag);
    PMDL mdl = describe(kernel, 40);
    platform::fault::inject("MmMapLockedPagesSpecifyCache", STATUS_INSUFFICIENT_RESOURCES);
    NTSTATUS raised = STATUS_SUCCESS;
    EXPECT_EQ(map(mdl, process_, &raised), nullptr);
    EXPECT_EQ(raised, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(platform::mdl::user_mappings().empty());
    EXPECT_EQ(kernel_side(process_)->mapping_count(), 0u);
    // The MDL is as good as before.
    PVOID user = map(mdl, process_, &raised);
    EXPECT_EQ(raised, STATUS_SUCCESS);
    unmap(user, mdl, process_);
    IoFreeMdl(mdl);
    ExFreePoolWithTag(kernel, kTag);
}

// What Windows forbids or the system must never do is a broken rule: each case names its own.
TEST_P(MappingTest, BrokenRulesAreReported) {
    RuleRecorder rules;
    // A small block shares its page: mapping it would hand its neighbours to the process.
    void* small = ExAllocatePoolWithTag(NonPagedPoolNx, 40, kTag);
    PMDL smallMdl = describe(small, 40);
    NTSTATUS raised = STATUS_SUCCESS;
    EXPECT_EQ(map(smallMdl, process_, &raised), nullptr);
    EXPECT_EQ(raised, STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(rules.count(), 1u);
    IoFreeMdl(smallMdl);
    ExFreePoolWithTag(small, kTag);

    void* kernel = ExAllocatePoolWithTag(NonPagedPoolNx, PAGE_SIZE, kTag);
    PMDL mdl = describe(kernel, PAGE_SIZE);
    // A mapping into user mode needs a process's context.
    EXPECT_EQ(TryExcept([&] { MmMapLockedPagesSpecifyCache(mdl, UserMode, MmNonCached, nullptr, FALSE, 0); }),
              STATUS_ACCESS_VIOLATION);
    EXPECT_EQ(rules.count(), 2u);
    PVOID user = map(mdl, process_);
    ASSERT_NE(user, nullptr);
    // One user mapping per MDL at a time.
    EXPECT_EQ(map(mdl, process_, &raised), nullptr);
    EXPECT_EQ(rules.count(), 3u);
    // Unmapping an address the MDL is not mapped at.
    MmUnmapLockedPages(static_cast<char*>(user) + PAGE_SIZE, mdl);
    EXPECT_EQ(rules.count(), 4u);
    // The block goes while the process can still reach it.
    ExFreePoolWithTag(kernel, kTag);
    EXPECT_EQ(rules.count(), 5u);
    // The MDL goes while mapped (it is unmapped for the rest of the test).
    IoFreeMdl(mdl);
    EXPECT_EQ(rules.count(), 6u);
    EXPECT_TRUE(platform::mdl::user_mappings().empty());
    // An MDL that was never allocated.
    MDL forged{};
    IoFreeMdl(&forged);
    EXPECT_EQ(rules.count(), 7u);
}

// The kernel references a process's event only by that process's handle, of the event type, at PASSIVE_LEVEL.
TEST_P(MappingTest, EventsAreReferencedOnlyByTheirOwnersHandles) {
    auto other = make_process(false);
    HANDLE foreign;
    {
        platform::win32::ScopedProcess as(other);
        for (int i = 0; i < 3; ++i) foreign = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    }
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    auto side = kernel_side(process_);
    auto reference = [&](HANDLE handle, POBJECT_TYPE type, KPROCESSOR_MODE mode = UserMode) {
        platform::CurrentProcessScope scope(side.get());
        PVOID object = nullptr;
        NTSTATUS status = ObReferenceObjectByHandle(handle, 0, type, mode, &object, nullptr);
        if (NT_SUCCESS(status)) ObDereferenceObject(object);
        return status;
    };
    EXPECT_EQ(reference(event, *ExEventObjectType), STATUS_SUCCESS);
    EXPECT_EQ(reference(reinterpret_cast<HANDLE>(0x7770), *ExEventObjectType), STATUS_INVALID_HANDLE);
    EXPECT_EQ(reference(nullptr, *ExEventObjectType), STATUS_INVALID_HANDLE);
    EXPECT_EQ(reference(foreign, *ExEventObjectType), STATUS_INVALID_HANDLE) << "another process's handle";
    EXPECT_EQ(reference(event, *IoFileObjectType), STATUS_OBJECT_TYPE_MISMATCH);
    {
        // Without a process's context a user handle means nothing.
        PVOID object = nullptr;
        EXPECT_EQ(ObReferenceObjectByHandle(event, 0, *ExEventObjectType, UserMode, &object, nullptr),
                  STATUS_INVALID_HANDLE);
    }
    RuleRecorder rules;
    {
        platform::DispatchLevelScope dispatch;
        PVOID object = nullptr;
        (void)ObReferenceObjectByHandle(event, 0, *ExEventObjectType, KernelMode, &object, nullptr);
    }
    EXPECT_EQ(rules.count(), 1u) << "references by handle need PASSIVE_LEVEL";
    CloseHandle(event);
}

// A referenced event stays the kernel's to signal at DISPATCH_LEVEL, and wakes a thread the process has waiting.
TEST_P(MappingTest, TheKernelWakesAWaitingProcessFromDispatchLevel) {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    PVOID object = nullptr;
    {
        platform::CurrentProcessScope scope(kernel_side(process_).get());
        ASSERT_EQ(ObReferenceObjectByHandle(event, 0, *ExEventObjectType, UserMode, &object, nullptr), STATUS_SUCCESS);
    }
    DWORD waited = WAIT_FAILED;
    std::thread host([&] {
        platform::win32::ScopedProcess as(process_);
        waited = WaitForSingleObject(event, INFINITE);
    });
    {
        platform::DispatchLevelScope dispatch;
        KeSetEvent(static_cast<KEVENT*>(object), 8, FALSE);
    }
    host.join();
    EXPECT_EQ(waited, WAIT_OBJECT_0);
    // The process closes its handle; the kernel's reference keeps the event to signal.
    CloseHandle(event);
    {
        platform::DispatchLevelScope dispatch;
        KeSetEvent(static_cast<KEVENT*>(object), 8, FALSE);
    }
    ObDereferenceObject(object);
}

INSTANTIATE_TEST_SUITE_P(Roads, MappingTest,
                         ::testing::Values(Case{Road::Local, false}, Case{Road::Local, true}, Case{Road::Socket, false},
                                           Case{Road::Socket, true}),
                         [](const ::testing::TestParamInfo<Case>& info) {
                             return std::string(info.param.road == Road::Local ? "InProcess" : "Socket") +
                                    (info.param.is32Bit ? "32" : "64");
                         });

// The performance counter is the machine's clock at 10 MHz.
TEST(PerformanceCounterTest, FollowsTheMachineClock) {
    platform::Machine machine;
    LARGE_INTEGER frequency{};
    LARGE_INTEGER before = KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10'000'000);
    machine.clock().run_for(platform::Milliseconds(3));
    EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart - before.QuadPart, 30'000);
}

}  // namespace
