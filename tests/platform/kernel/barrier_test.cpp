// The ordered reads and writes of shared words, driven by real threads: the
// thread sanitizer reports any pairing that does not order what it should.
#include <gtest/gtest.h>

#include <array>
#include <thread>

#include "platform/kernel/ntddk.h"

namespace {

constexpr int kRounds = 1000;

// One payload handed from a writer thread to a reader thread per round,
// published through `flag` with the given release write and acquire read.
template <typename Word, typename Publish, typename Observe>
void HandOver(Word ready, Publish publish, Observe observe) {
    for (int round = 0; round < kRounds; ++round) {
        Word flag{};
        std::array<int, 8> payload{};
        std::thread writer([&] {
            payload.fill(round);
            publish(&flag, ready);
        });
        while (observe(&flag) != ready) {
        }
        for (int value : payload) ASSERT_EQ(value, round);
        writer.join();
    }
}

// An acquire read that did not see the writes before the release write would hand over a payload half written.
TEST(BarrierTest, ReleaseWritePublishesWhatCameBeforeIt) {
    HandOver<volatile LONG>(1, [](volatile LONG* f, LONG v) { WriteRelease(f, v); },
                            [](volatile LONG* f) { return ReadAcquire(f); });
    HandOver<volatile ULONG>(0x80000000u, [](volatile ULONG* f, ULONG v) { WriteULongRelease(f, v); },
                             [](volatile ULONG* f) { return ReadULongAcquire(f); });
    HandOver<volatile ULONG64>(0x8000000000000001ull,
                               [](volatile ULONG64* f, ULONG64 v) { WriteULong64Release(f, v); },
                               [](volatile ULONG64* f) { return ReadULong64Acquire(f); });
    static int target;
    HandOver<int* volatile>(&target, [](int* volatile* f, int* v) { WritePointerRelease(f, v); },
                            [](int* volatile* f) { return ReadPointerAcquire(f); });
}

// A no-fence access that was not one whole access of the word could show a mix of two writes.
TEST(BarrierTest, NoFenceAccessesAreWhole) {
    volatile LONG word = 0;
    volatile ULONG uword = 0;
    std::thread writer([&] {
        for (int i = 0; i < kRounds * 10; ++i) {
            WriteNoFence(&word, (i & 1) != 0 ? -1 : 0);
            WriteULongNoFence(&uword, (i & 1) != 0 ? 0xFFFFFFFFu : 0u);
        }
    });
    for (int i = 0; i < kRounds * 10; ++i) {
        LONG seen = ReadNoFence(&word);
        ULONG useen = ReadULongNoFence(&uword);
        ASSERT_TRUE(seen == 0 || seen == -1) << seen;
        ASSERT_TRUE(useen == 0 || useen == 0xFFFFFFFFu) << useen;
    }
    writer.join();
}

}  // namespace
