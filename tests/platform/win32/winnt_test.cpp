// What user mode has from windows.h besides calls into the machine: the
// ordered reads and writes and the interlocked operations (the kernel's own
// forms, which the kernel's tests take through every result), and from
// ntstatus.h the NT status values. This file includes of the platform only
// what a user-mode program includes, so it fails to build should user mode
// lose any of them; the threads below are the patterns user mode builds on
// them, for the thread sanitizer to check.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/win32/ntstatus.h"
#include "platform/win32/windows.h"

namespace {

constexpr int kThreads = 8;

struct Shared {
    int payload = 0;
};

// Racing first users create one object each; a compare-exchange publishes
// exactly one, the losers drop theirs, and every thread reads the winner
// with all it was built with. A live count goes up and down with them.
TEST(WinntTest, OnePublicationWinsAndIsSeenWhole) {
    for (int round = 0; round < 100; ++round) {
        Shared* volatile slot = nullptr;
        volatile LONG live = 0;
        volatile LONG first = 0;
        std::vector<Shared*> seen(kThreads);
        std::vector<LONG> firsts(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                firsts[t] = InterlockedExchange(&first, 1);
                Shared* mine = ReadPointerAcquire(&slot);
                if (mine == nullptr) {
                    auto* made = new Shared{round + 1};
                    InterlockedIncrement(&live);
                    PVOID winner =
                        InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&slot), made, nullptr);
                    if (winner != nullptr) {
                        delete made;
                        InterlockedDecrement(&live);
                    }
                    mine = ReadPointerAcquire(&slot);
                }
                seen[t] = mine;
            });
        }
        for (std::thread& thread : threads) thread.join();
        for (Shared* object : seen) {
            ASSERT_EQ(object, slot);
            ASSERT_EQ(object->payload, round + 1);
        }
        int winners = 0;
        for (LONG previous : firsts) winners += previous == 0 ? 1 : 0;
        EXPECT_EQ(winners, 1) << "exactly one thread found the word unset";
        EXPECT_EQ(ReadAcquire(&live), 1);
        EXPECT_EQ(InterlockedCompareExchange(&live, 0, 1), 1);
        delete slot;
    }
}

// A word published with a release write is read whole with everything written before it.
TEST(WinntTest, ReleaseWritesPublishToAcquireReads) {
    for (int round = 0; round < 100; ++round) {
        int payload[4] = {};
        volatile LONG flag = 0;
        volatile ULONG rate = 0;
        volatile ULONG64 position = 0;
        std::thread writer([&] {
            for (int& word : payload) word = round;
            WriteULongRelease(&rate, 48000u + round);
            position = 0x100000000ull + round;
            WriteRelease(&flag, 1);
        });
        while (ReadAcquire(&flag) == 0) {
        }
        for (int word : payload) ASSERT_EQ(word, round);
        EXPECT_EQ(ReadULongAcquire(&rate), 48000u + round);
        EXPECT_EQ(ReadULongNoFence(&rate), 48000u + round);
        EXPECT_EQ(ReadULong64Acquire(&position), 0x100000000ull + round);
        writer.join();
    }
}

// The status values user mode deals in carry their Windows numbers.
TEST(WinntTest, StatusValuesAreWindowsOwn) {
    EXPECT_EQ(static_cast<uint32_t>(STATUS_SUCCESS), 0u);
    EXPECT_EQ(static_cast<uint32_t>(STATUS_UNSUCCESSFUL), 0xC0000001u);
    EXPECT_EQ(static_cast<uint32_t>(STATUS_NO_MEMORY), 0xC0000017u);
    EXPECT_EQ(static_cast<uint32_t>(STATUS_REVISION_MISMATCH), 0xC0000059u);
    EXPECT_TRUE(NT_SUCCESS(STATUS_SUCCESS));
    EXPECT_FALSE(NT_SUCCESS(STATUS_NO_MEMORY));
}

}  // namespace
