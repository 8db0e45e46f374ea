// Critical sections, the multimedia timer and ending the process: what the
// device-access library builds its one lock and its clock on.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/kernel/ntstatus.h"
#include "platform/kernel/rules.h"
#include "platform/win32/mmsystem.h"
#include "platform/win32/windows.h"

namespace {

struct Section {
    Section() { InitializeCriticalSection(&cs); }
    ~Section() {
        if (cs.State != nullptr) DeleteCriticalSection(&cs);
    }
    CRITICAL_SECTION cs{};
};

// A section recurses for its owner and stays refused to others until every entry has been left.
TEST(CriticalSectionTest, RecursesAndIsOwned) {
    Section s;
    EnterCriticalSection(&s.cs);
    EXPECT_TRUE(TryEnterCriticalSection(&s.cs)) << "the owner enters again without waiting";
    auto tryOther = [&] {
        BOOL taken = FALSE;
        std::thread([&] {
            taken = TryEnterCriticalSection(&s.cs);
            if (taken) LeaveCriticalSection(&s.cs);
        }).join();
        return taken;
    };
    EXPECT_FALSE(tryOther());
    LeaveCriticalSection(&s.cs);
    EXPECT_FALSE(tryOther()) << "one of two entries is still held";
    LeaveCriticalSection(&s.cs);
    EXPECT_TRUE(tryOther());
}

// A thread blocked in Enter takes the section as soon as the owner leaves it, not before.
TEST(CriticalSectionTest, BlockedEnterWaitsForTheOwner) {
    Section s;
    EnterCriticalSection(&s.cs);
    std::atomic<bool> entered{false};
    std::thread waiter([&] {
        EnterCriticalSection(&s.cs);
        entered = true;
        LeaveCriticalSection(&s.cs);
    });
    // The waiter cannot get in while we hold it, whatever it has reached by now.
    EXPECT_FALSE(entered.load());
    LeaveCriticalSection(&s.cs);
    waiter.join();
    EXPECT_TRUE(entered.load());
}

// Four threads counting under one section lose no increment.
TEST(CriticalSectionTest, ExcludesConcurrentThreads) {
    Section s;
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    long counter = 0;  // guarded by s
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < kRounds; ++i) {
                EnterCriticalSection(&s.cs);
                if ((i & 1) != 0) EnterCriticalSection(&s.cs);
                ++counter;
                if ((i & 1) != 0) LeaveCriticalSection(&s.cs);
                LeaveCriticalSection(&s.cs);
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, long{kThreads} * kRounds);
}

// What Windows leaves undefined is a reported rule: a zeroed or deleted section, a second
// initialisation, a leave by a thread that does not own it, a delete while held.
TEST(CriticalSectionTest, MisuseIsReported) {
    std::vector<std::string> rules;
    platform::ScopedRuleHandler handler([&](const std::string& rule, const std::string&) { rules.push_back(rule); });
    CRITICAL_SECTION zeroed{};
    EnterCriticalSection(&zeroed);
    EXPECT_FALSE(TryEnterCriticalSection(&zeroed));
    LeaveCriticalSection(&zeroed);
    EXPECT_EQ(rules.size(), 3u);

    Section s;
    rules.clear();
    InitializeCriticalSection(&s.cs);
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_NE(rules[0].find("already initialised"), std::string::npos);

    rules.clear();
    std::thread([&] { LeaveCriticalSection(&s.cs); }).join();
    EnterCriticalSection(&s.cs);
    std::thread([&] { LeaveCriticalSection(&s.cs); }).join();
    DeleteCriticalSection(&s.cs);
    ASSERT_EQ(rules.size(), 3u);
    EXPECT_NE(rules[0].find("does not own"), std::string::npos);
    EXPECT_NE(rules[1].find("does not own"), std::string::npos);
    EXPECT_NE(rules[2].find("holds"), std::string::npos);
    EXPECT_NE(s.cs.State, nullptr) << "a refused delete leaves the section as it was";
    LeaveCriticalSection(&s.cs);

    rules.clear();
    DeleteCriticalSection(&s.cs);
    EXPECT_TRUE(rules.empty());
    EnterCriticalSection(&s.cs);
    ASSERT_EQ(rules.size(), 1u) << "a deleted section is not initialised";
}

// The multimedia timer counts milliseconds from the same start as the tick count and never runs backwards.
TEST(MultimediaTimerTest, CountsMillisecondsWithTheTickCount) {
    DWORD first = timeGetTime();
    DWORD tick = GetTickCount();
    DWORD second = timeGetTime();
    EXPECT_LE(first, tick);
    EXPECT_LE(tick, second);
}

// ExitProcess ends the program at once with the code given.
TEST(ExitProcessDeathTest, EndsWithTheCode) {
    EXPECT_EXIT(ExitProcess(7), ::testing::ExitedWithCode(7), "");
    EXPECT_EXIT(ExitProcess(0), ::testing::ExitedWithCode(0), "");
}

// A CRC failure reaches Win32 callers as ERROR_CRC.
TEST(StatusMappingTest, CrcErrorIsErrorCrc) {
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_CRC_ERROR), ERROR_CRC);
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_DEVICE_BUSY), ERROR_BUSY);
}

}  // namespace
