// The user-mode logger client on both roads, against the logger stand-in:
// reference counting, the refusals, one connection for concurrent first
// opens, records in the right ring with the logger's time, and no mapping
// added by reopening.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "source/driver/usb/win/user_common/logger.h"
#include "support/road_fixture.h"

#define LOG_FILE_NUMBER 319

namespace {

using namespace vexa::log;
using namespace vexa::test;
using vexa::user_log::RealtimeEnabled;
using vexa::user_log::StandardEnabled;

class UserLoggerTest : public RoadTest {
protected:
    ~UserLoggerTest() override {
        // The client's state is the module's: leave it closed for the next case.
        while (LoggerClose() == STATUS_SUCCESS) {
        }
    }

    size_t handles() { return kernel_side(*process_)->handles().size(); }
    std::vector<LogRecord> records(uint32_t tag) { return machine_.logger().records(tag); }
    static uint32_t enable_word() { return *ReadPointerAcquire(&vexa::user_log::g_standardEnable); }
};

// Two opens and two closes: the masks live until the last close, then back on the zero words; no handle left.
TEST_P(UserLoggerTest, OpensAreCounted) {
    size_t before = handles();
    size_t opens = machine_.logger().opens();
    ASSERT_EQ(LoggerOpen(), STATUS_SUCCESS);
    ASSERT_EQ(LoggerOpen(), STATUS_SUCCESS);
    EXPECT_EQ(machine_.logger().opens(), opens + 1) << "the second open counts a reference only";
    EXPECT_EQ(handles(), before + 1);
    EXPECT_TRUE(StandardEnabled(kLogInfo | kLogAsio));
    volatile ULONG* live = ReadPointerAcquire(&vexa::user_log::g_standardEnable);
    machine_.logger().header(kRingTagStandard)->enableMask = kLogError;
    EXPECT_EQ(*live, kLogError) << "the guard reads the logger's own word, mapped into the process";

    EXPECT_EQ(LoggerClose(), STATUS_SUCCESS);
    EXPECT_TRUE(StandardEnabled(kLogError)) << "one reference is left";
    EXPECT_EQ(LoggerClose(), STATUS_SUCCESS);
    EXPECT_NE(ReadPointerAcquire(&vexa::user_log::g_standardEnable), live);
    EXPECT_EQ(enable_word(), 0u);
    EXPECT_FALSE(RealtimeEnabled(kLogError));
    EXPECT_EQ(handles(), before) << "the handle table is back where it was";
    EXPECT_EQ(LoggerClose(), STATUS_UNSUCCESSFUL) << "nothing left to close";
    EXPECT_FALSE(LoggerWriteStandard(kLogError, 1, 0, 0, 0, 0)) << "a closed client writes nothing";
}

// A logger of another version is refused with STATUS_REVISION_MISMATCH and leaves the client closed and releasable.
TEST_P(UserLoggerTest, OtherVersionIsRefused) {
    size_t before = handles();
    machine_.logger().configure({.version = 0x3008});
    EXPECT_EQ(LoggerOpen(), static_cast<NTSTATUS>(0xC0000059));
    EXPECT_FALSE(StandardEnabled(kLogError));
    EXPECT_EQ(handles(), before);
    EXPECT_EQ(LoggerClose(), STATUS_UNSUCCESSFUL) << "the failed open dropped its reference";
    // The mutex was released on the failed path: another thread opens without waiting on it.
    machine_.logger().configure({});
    NTSTATUS other = STATUS_PENDING;
    std::thread([&] { other = LoggerOpen(); }).join();
    EXPECT_EQ(other, STATUS_SUCCESS);
}

// Without a logger the open fails with STATUS_NO_MEMORY and every guard stays false.
TEST_P(UserLoggerTest, NoLoggerLeavesEveryGuardFalse) {
    machine_.logger().configure({.present = false});
    EXPECT_EQ(LoggerOpen(), static_cast<NTSTATUS>(0xC0000017));
    for (ULONG mask : {kLogError, kLogWarning, kLogInfo, kLogDetail, kLogError | kLogAsio}) {
        EXPECT_FALSE(StandardEnabled(mask));
        EXPECT_FALSE(RealtimeEnabled(mask));
    }
    TRACE(kLogError | kLogAsio, 1);
    EXPECT_FALSE(LoggerWriteRealtime(kLogError, 1, 0, 0, 0, 0));
}

// A logger that answers a ring address of 0 fails the open cleanly: closed, no handle kept.
TEST_P(UserLoggerTest, ZeroRingAddressFailsTheOpen) {
    size_t before = handles();
    machine_.logger().configure({.zeroRingAddress = true});
    EXPECT_EQ(LoggerOpen(), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(StandardEnabled(kLogError));
    EXPECT_EQ(handles(), before);
    EXPECT_EQ(LoggerClose(), STATUS_UNSUCCESSFUL);
}

// Sixteen threads opening at once for the first time make one connection (one mutex, one CreateFile).
TEST_P(UserLoggerTest, ConcurrentFirstOpensMakeOneConnection) {
    size_t opens = machine_.logger().opens();
    constexpr int kThreads = 16;
    std::atomic<int> ready{0};
    std::vector<NTSTATUS> results(kThreads, STATUS_PENDING);
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            ready.fetch_add(1);
            while (ready.load() < kThreads) std::this_thread::yield();
            results[i] = LoggerOpen();
        });
    }
    for (auto& t : threads) t.join();
    for (NTSTATUS status : results) EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(machine_.logger().opens(), opens + 1);
    for (int i = 0; i < kThreads - 1; ++i) EXPECT_EQ(LoggerClose(), STATUS_SUCCESS);
    EXPECT_TRUE(StandardEnabled(kLogError));
    EXPECT_EQ(LoggerClose(), STATUS_SUCCESS);
    EXPECT_FALSE(StandardEnabled(kLogError));
}

// A write lands in its own ring, stamped by the logger's clock, with every byte of the request defined.
TEST_P(UserLoggerTest, WriteLandsInItsRingWithTheLoggersTime) {
    ASSERT_EQ(LoggerOpen(), STATUS_SUCCESS);
    machine_.clock().run_for(123456);
    TRACE_RT(kLogDetail | kLogAsio, 10, 20, 30, 40);
    auto realtime = records(kRingTagRealtime);
    ASSERT_EQ(realtime.size(), 1u);
    EXPECT_TRUE(records(kRingTagStandard).empty());
    EXPECT_EQ(realtime[0].id, TracePointId(319, __LINE__ - 4));
    EXPECT_EQ(realtime[0].mask, kLogDetail | kLogAsio);
    EXPECT_EQ(realtime[0].time, 123456u) << "the logger stamps the time";
    EXPECT_EQ(realtime[0].value4, 40u);
    auto raw = machine_.logger().last_write();
    ASSERT_TRUE(raw);
    EXPECT_EQ(raw->tag, kRingTagRealtime);
    EXPECT_EQ(raw->reserved, 0u);
    EXPECT_EQ(raw->record.time, 0u) << "the client leaves the time unset";

    machine_.logger().header(kRingTagStandard)->enableMask = kLogError;
    TRACE(kLogInfo | kLogAsio, 1);  // its bits are off: no request
    TRACE(kLogError, 2);
    auto standard = records(kRingTagStandard);
    ASSERT_EQ(standard.size(), 1u);
    EXPECT_EQ(standard[0].value1, 2u);
    EXPECT_EQ(LoggerClose(), STATUS_SUCCESS);
}

// Opening and closing a thousand times maps each ring once for the process and leaves no handle behind.
TEST_P(UserLoggerTest, ReopeningAddsNoMapping) {
    size_t before = handles();
    ASSERT_EQ(LoggerOpen(), STATUS_SUCCESS);
    size_t mappings = machine_.logger().user_mappings();
    volatile ULONG* word = ReadPointerAcquire(&vexa::user_log::g_standardEnable);
    ASSERT_EQ(LoggerClose(), STATUS_SUCCESS);
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(LoggerOpen(), STATUS_SUCCESS);
        ASSERT_EQ(ReadPointerAcquire(&vexa::user_log::g_standardEnable), word) << "the same mapping answered again";
        ASSERT_EQ(LoggerClose(), STATUS_SUCCESS);
    }
    EXPECT_EQ(machine_.logger().user_mappings(), mappings);
    EXPECT_EQ(handles(), before);
}

// A writer reading the guards while another thread opens and closes sees whole pointers only (ThreadSanitizer checks).
TEST_P(UserLoggerTest, GuardsReadWhileOpeningAndClosing) {
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        while (!stop.load()) TRACE(kLogDetail | kLogAsio, 1);
    });
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(LoggerOpen(), STATUS_SUCCESS);
        ASSERT_EQ(LoggerClose(), STATUS_SUCCESS);
    }
    stop.store(true);
    writer.join();
    EXPECT_FALSE(StandardEnabled(kLogDetail));
}

INSTANTIATE_TEST_SUITE_P(Roads, UserLoggerTest, ::testing::Values(Road::Local, Road::Socket), RoadName);

}  // namespace
