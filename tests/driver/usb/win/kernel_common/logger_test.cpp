#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/machine/logger_driver.h"
#include "platform/machine/machine.h"
#include "source/driver/usb/win/kernel_common/logger.h"

#define LOG_FILE_NUMBER 465

namespace {

using namespace vexa::log;

class LoggerClientTest : public ::testing::Test {
protected:
    ~LoggerClientTest() override { LoggerClose(); }

    std::vector<LogRecord> standard() { return machine_.logger().records(kRingTagStandard); }
    LogRingHeader* header(uint32_t tag) { return machine_.logger().header(tag); }

    platform::Machine machine_;
};

// With no logger, opening fails and every trace point finds its zero word.
TEST_F(LoggerClientTest, MissingLoggerLeavesTracingOff) {
    machine_.logger().configure({.present = false});
    EXPECT_EQ(LoggerOpen(), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(StandardEnabled(kLogError));
    EXPECT_FALSE(RealtimeEnabled(kLogError));
    TRACE(kLogError, 1);
    LoggerWriteStandard(kLogError, 1, 2, 3, 4, 5);  // detached: nothing to write into
}

// A logger of another protocol version is refused; once the right one is there, a later open really opens.
TEST_F(LoggerClientTest, WrongVersionIsRefusedAndALaterOpenRecovers) {
    machine_.logger().configure({.version = 0x3006});
    EXPECT_EQ(LoggerOpen(), STATUS_REVISION_MISMATCH);
    EXPECT_FALSE(StandardEnabled(kLogError));

    machine_.logger().configure({});
    ASSERT_EQ(LoggerOpen(), STATUS_SUCCESS);
    TRACE(kLogError, 7);
    auto records = standard();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].value1, 7u);
    EXPECT_EQ(records[0].id, TracePointId(LOG_FILE_NUMBER, __LINE__ - 4));

    // Close detaches; opening again attaches again.
    LoggerClose();
    EXPECT_FALSE(StandardEnabled(kLogError));
    ASSERT_EQ(LoggerOpen(), STATUS_SUCCESS);
    EXPECT_TRUE(StandardEnabled(kLogError));
}

// A record is written only when every bit of its mask is enabled.
TEST_F(LoggerClientTest, GuardNeedsEveryBitOfTheMask) {
    ASSERT_EQ(LoggerOpen(), STATUS_SUCCESS);
    header(kRingTagStandard)->enableMask = kLogError | kLogInfo | kLogStream;
    TRACE(kLogError, 1);
    TRACE(kLogDetail, 2);
    TRACE(kLogError | kLogStream, 3);
    TRACE(kLogError | kLogMidi, 4);
    TRACE(kLogInfo | kLogStream, 5);
    std::vector<uint64_t> written;
    for (auto& r : standard()) written.push_back(r.value1);
    EXPECT_EQ(written, (std::vector<uint64_t>{1, 3, 5}));
}

// Records carry their mask, the interrupt time and four values; the two rings are separate.
TEST_F(LoggerClientTest, RecordsCarryTimeAndValuesInTheirOwnRing) {
    ASSERT_EQ(LoggerOpen(), STATUS_SUCCESS);
    machine_.clock().run_for(12345);
    TRACE_RT(kLogDetail | kLogStream, 10, 20, 30, 40);
    auto realtime = machine_.logger().records(kRingTagRealtime);
    ASSERT_EQ(realtime.size(), 1u);
    EXPECT_TRUE(standard().empty());
    EXPECT_EQ(realtime[0].mask, kLogDetail | kLogStream);
    EXPECT_EQ(realtime[0].time, 12345u);
    EXPECT_EQ(realtime[0].value4, 40u);
}

// The ring wraps: with 1024 slots, the 1025th write lands in slot 0.
TEST_F(LoggerClientTest, TheRingWrapsAtItsSize) {
    ASSERT_EQ(LoggerOpen(), STATUS_SUCCESS);
    LogRingHeader* ring = header(kRingTagStandard);
    ASSERT_EQ(ring->indexMask, 1023u);
    for (uint64_t i = 1; i <= 1025; ++i) LoggerWriteStandard(kLogInfo, 1, i, 0, 0, 0);
    auto* slots = reinterpret_cast<LogRecord*>(ring->recordArray);
    EXPECT_EQ(slots[0].value1, 1025u);
    EXPECT_EQ(slots[1].value1, 2u);
    EXPECT_EQ(slots[1023].value1, 1024u);
    EXPECT_EQ(ring->writeCount, 1025u);
}

// A trigger freezes every ring after 50 writes counted from the one that set it off.
TEST_F(LoggerClientTest, TriggerFreezesAllLoggingAtTheFiftiethWrite) {
    ASSERT_EQ(LoggerOpen(), STATUS_SUCCESS);
    header(kRingTagStandard)->triggerMask = kLogError;
    TRACE(kLogInfo, 0);  // not a trigger
    EXPECT_EQ(header(kRingTagStandard)->triggerCountdown, 0);
    TRACE(kLogError, 1);
    EXPECT_EQ(header(kRingTagStandard)->triggerCountdown, 49);
    for (int i = 2; i <= 49; ++i) TRACE(kLogInfo, i);
    EXPECT_NE(header(kRingTagRealtime)->enableMask, 0u);
    TRACE(kLogError, 50);  // a trigger while counting does not restart it
    EXPECT_EQ(header(kRingTagStandard)->enableMask, 0u);
    EXPECT_EQ(header(kRingTagRealtime)->enableMask, 0u);
    TRACE(kLogError, 51);
    TRACE_RT(kLogError, 52);
    auto records = standard();
    ASSERT_EQ(records.size(), 51u);
    EXPECT_EQ(records.back().value1, 50u);
    EXPECT_TRUE(machine_.logger().records(kRingTagRealtime).empty());
}

// Writers racing past zero must not wrap the countdown into a long run of logging.
TEST_F(LoggerClientTest, CountdownNeverWrapsBelowZero) {
    ASSERT_EQ(LoggerOpen(), STATUS_SUCCESS);
    LogRingHeader* ring = header(kRingTagStandard);
    ring->triggerMask = kLogError;
    ring->triggerCountdown = 1;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 100; ++i) LoggerWriteStandard(kLogInfo, 1, 0, 0, 0, 0);
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_LE(ring->triggerCountdown, 0);
    EXPECT_GE(ring->triggerCountdown, -8);
    EXPECT_EQ(ring->enableMask, 0u);
}

// Concurrent writers each get a slot of their own: no record is lost or torn.
TEST_F(LoggerClientTest, ConcurrentWritersLoseAndTearNothing) {
    constexpr uint32_t kThreads = 8;
    constexpr uint32_t kWrites = 8000;
    machine_.logger().configure({.records = 1 << 16});
    ASSERT_EQ(LoggerOpen(), STATUS_SUCCESS);
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (uint64_t i = 0; i < kWrites; ++i) {
                uint64_t key = (uint64_t{t} << 32) | i;
                LoggerWriteStandard(kLogInfo, t, key, ~key, key * 3, key ^ 0x5555);
            }
        });
    }
    for (auto& t : threads) t.join();
    auto records = standard();
    ASSERT_EQ(records.size(), kThreads * kWrites);
    std::vector<std::vector<bool>> seen(kThreads, std::vector<bool>(kWrites));
    for (auto& r : records) {
        ASSERT_EQ(r.value2, ~r.value1);
        ASSERT_EQ(r.value3, r.value1 * 3);
        ASSERT_EQ(r.value4, r.value1 ^ 0x5555);
        uint32_t thread = static_cast<uint32_t>(r.value1 >> 32);
        ASSERT_EQ(thread, r.id);
        seen[thread][r.value1 & 0xFFFFFFFF] = true;
    }
    for (auto& perThread : seen) EXPECT_EQ(std::count(perThread.begin(), perThread.end(), false), 0);
}

// The logger reads the ring while a writer laps it (a ring of 16 records, rewritten all the time):
// a record it returns is always one whole record, never words of two; and it returns some.
TEST_F(LoggerClientTest, ReaderTakesOnlyWholeRecordsWhileTheWriterLapsTheRing) {
    constexpr int kPasses = 3000;
    machine_.logger().configure({.records = 16});
    ASSERT_EQ(LoggerOpen(), STATUS_SUCCESS);
    std::atomic<bool> stop{false};
    std::atomic<bool> started{false};
    std::thread writer([&] {
        for (uint64_t key = 1; !stop; ++key) {
            LoggerWriteStandard(kLogInfo, static_cast<ULONG>(key), key, ~key, key * 3, key ^ 0x5555);
            if (key == 16) started = true;
        }
    });
    while (!started) std::this_thread::yield();
    uint64_t read = 0;
    uint64_t torn = 0;
    for (int pass = 0; pass < kPasses; ++pass) {
        for (const LogRecord& r : standard()) {
            ++read;
            bool whole = r.mask == kLogInfo && r.id == static_cast<uint32_t>(r.value1) && r.value2 == ~r.value1 &&
                         r.value3 == r.value1 * 3 && r.value4 == (r.value1 ^ 0x5555);
            if (!whole) ++torn;
        }
    }
    stop = true;
    writer.join();
    EXPECT_EQ(torn, 0u) << "of " << read << " records read";
    EXPECT_GT(read, 0u);
    EXPECT_EQ(standard().size(), 16u) << "once the writer is done the whole ring reads back";
}

}  // namespace
