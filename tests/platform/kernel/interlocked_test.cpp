// The interlocked operations as Windows defines their results: the bit and
// add operations and the exchanges answer the value before the operation, the
// increments and decrements the value after it. A stand-in that answers the
// other one breaks every reference count and state word built on it.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/kernel/sync.h"

namespace {

// Each operation's answer (before or after) and its effect, from one starting value.
TEST(InterlockedTest, EachOperationAnswersAsWindowsDefinesIt) {
    struct Case {
        const char* name;
        LONG (*operation)(volatile LONG*);
        LONG answer;
        LONG after;
    };
    const Case cases[] = {
        {"Increment", [](volatile LONG* t) { return InterlockedIncrement(t); }, 0x0D, 0x0D},
        {"Decrement", [](volatile LONG* t) { return InterlockedDecrement(t); }, 0x0B, 0x0B},
        {"Exchange", [](volatile LONG* t) { return InterlockedExchange(t, 7); }, 0x0C, 7},
        {"ExchangeAdd", [](volatile LONG* t) { return InterlockedExchangeAdd(t, -4); }, 0x0C, 0x08},
        {"Or", [](volatile LONG* t) { return InterlockedOr(t, 0x03); }, 0x0C, 0x0F},
        {"And", [](volatile LONG* t) { return InterlockedAnd(t, 0x06); }, 0x0C, 0x04},
        {"Xor", [](volatile LONG* t) { return InterlockedXor(t, 0x05); }, 0x0C, 0x09},
        {"CompareExchange hit", [](volatile LONG* t) { return InterlockedCompareExchange(t, 9, 0x0C); }, 0x0C, 9},
        {"CompareExchange miss", [](volatile LONG* t) { return InterlockedCompareExchange(t, 9, 1); }, 0x0C, 0x0C},
    };
    for (const Case& c : cases) {
        volatile LONG target = 0x0C;
        EXPECT_EQ(c.operation(&target), c.answer) << c.name;
        EXPECT_EQ(target, c.after) << c.name;
    }
}

// The 64-bit and pointer forms carry the full width and answer the value before.
TEST(InterlockedTest, WideAndPointerFormsKeepEveryBit) {
    volatile LONG64 wide = 0x7FFFFFFFLL;
    EXPECT_EQ(InterlockedIncrement64(&wide), 0x80000000LL);
    EXPECT_EQ(InterlockedCompareExchange64(&wide, 0x100000000LL, 0x80000000LL), 0x80000000LL);
    EXPECT_EQ(wide, 0x100000000LL);
    EXPECT_EQ(InterlockedCompareExchange64(&wide, 5, 6), 0x100000000LL) << "a miss leaves the value";

    int a = 0;
    int b = 0;
    PVOID volatile slot = &a;
    EXPECT_EQ(InterlockedExchangePointer(&slot, &b), &a);
    EXPECT_EQ(InterlockedCompareExchangePointer(&slot, nullptr, &a), &b) << "a miss answers what is there";
    EXPECT_EQ(slot, &b);
    EXPECT_EQ(InterlockedCompareExchangePointer(&slot, nullptr, &b), &b);
    EXPECT_EQ(slot, nullptr);
}

// Racing threads lose no update: the count ends exact and each bit is set once.
TEST(InterlockedTest, RacingUpdatesAreNotLost) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 10000;
    volatile LONG count = 0;
    volatile LONG64 wide = 0;
    volatile LONG bits = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                InterlockedExchangeAdd(&count, 2);
                InterlockedDecrement(&count);
                InterlockedIncrement64(&wide);
            }
            InterlockedOr(&bits, 1 << t);
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(count, kThreads * kRounds);
    EXPECT_EQ(wide, static_cast<LONG64>(kThreads) * kRounds);
    EXPECT_EQ(bits, (1 << kThreads) - 1);
}

}  // namespace
