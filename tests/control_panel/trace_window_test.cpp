// The panel and the machine's logger, under Xvfb: start-up and a quit request
// write their records into the logger's standard ring of a vexa-machine run
// as its own program, and the panel starts, runs and closes whether or not a
// machine (or its logger) is there.
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "machine_logger.h"
#include "machine_program.h"
#include "panel_window_test.h"

namespace {

using namespace cpl::test;
using vexa::log::LogRecord;

constexpr uint32_t kPanelFileNumber = 1201;
constexpr uint32_t kIdStartUp = 0x96202A;
constexpr uint32_t kIdShutDown = 0x96208E;
constexpr uint32_t kIdQuitRequested = 0x9620A5;
constexpr uint64_t kPanelPackedVersion = 0x804030020000BB7Full;

std::vector<LogRecord> panelRecords(const std::vector<LogRecord>& records) {
    std::vector<LogRecord> out;
    for (const auto& r : records)
        if (r.id >> 13 == kPanelFileNumber) out.push_back(r);
    return out;
}

std::string describe(const std::vector<LogRecord>& records) {
    std::ostringstream s;
    for (const auto& r : records)
        s << std::hex << "id " << r.id << " mask " << r.mask << " values " << r.value1 << ' ' << r.value2 << ' '
          << r.value3 << ' ' << r.value4 << '\n';
    return s.str();
}

class PanelTraceTest : public PanelWindowTest {
protected:
    // Reads the logger of the case's machine.
    void openLogger() {
        logger_ = std::make_unique<MachineLogger>(machine_->socket());
        ASSERT_TRUE(logger_->ok()) << logger_->error();
    }

    void TearDown() override {
        logger_.reset();
        PanelWindowTest::TearDown();
    }

    // Starts the panel, waits for its window and closes it the given way; the
    // panel's records written meanwhile.
    std::vector<LogRecord> runAndClose(bool withSignal) {
        const uint32_t before = logger_ ? logger_->writeCount() : 0;
        auto panel = start();
        const auto window = waitForWindowAt(0, 0, kFramedWidth, kFramedHeight);
        EXPECT_TRUE(window) << panel->output();
        if (!window) return {};
        if (withSignal) {
            panel->signal(SIGTERM);
        } else {
            closeWithButton(*window);
        }
        expectCleanExit(*panel);
        return logger_ ? panelRecords(logger_->recordsSince(before)) : std::vector<LogRecord>{};
    }

    std::unique_ptr<MachineLogger> logger_;
};

// Start-up writes the program's version, a quit request its own record and
// lets go of the application's logger connection; the library's system keeps
// its own until the window (and with it the system) goes, so shut-down's
// record follows: exactly three information records, in that order, for the
// close button and for SIGTERM.
TEST_F(PanelTraceTest, StartAndCloseTraceOnTheMachinesLogger) {
    openLogger();
    for (bool withSignal : {false, true}) {
        SCOPED_TRACE(withSignal ? "SIGTERM" : "close button");
        const auto records = runAndClose(withSignal);
        ASSERT_EQ(records.size(), 3u) << describe(records);
        EXPECT_EQ(records[0].id, kIdStartUp);
        EXPECT_EQ(records[0].value1, kPanelPackedVersion);
        EXPECT_EQ(records[1].id, kIdQuitRequested);
        EXPECT_EQ(records[1].value1, 0u);
        EXPECT_EQ(records[2].id, kIdShutDown) << "the quit request comes before shut-down";
        EXPECT_EQ(records[2].value1, 0u);
        for (const auto& r : records) {
            EXPECT_EQ(r.mask, vexa::log::kLogInfo);
            EXPECT_EQ(r.value2, 0u);
            EXPECT_EQ(r.value3, 0u);
            EXPECT_EQ(r.value4, 0u);
        }
        EXPECT_LE(records[0].time, records[1].time) << "the logger stamps them in the order written";
        EXPECT_LE(records[1].time, records[2].time);
    }
}

// Guards against trace points that ignore the logger's switches: with
// information records off in the ring's enable mask, the panel writes none,
// and it still starts and closes as ever.
TEST_F(PanelTraceTest, InformationRecordsOffWriteNothing) {
    openLogger();
    const uint32_t everything = __atomic_load_n(&logger_->header().enableMask, __ATOMIC_RELAXED);
    __atomic_store_n(&logger_->header().enableMask, vexa::log::kLogError | vexa::log::kLogWarning, __ATOMIC_RELAXED);
    const auto records = runAndClose(false);
    EXPECT_TRUE(records.empty()) << describe(records);
    __atomic_store_n(&logger_->header().enableMask, everything, __ATOMIC_RELAXED);
    EXPECT_TRUE(savedPosition()) << settingsText();
}

// Logging never fails the panel: with no machine behind the socket (no file,
// or a stale one nobody listens on) it starts, says "Driver not found" and,
// once the user has pressed OK, ends cleanly, saving its position.
TEST_F(PanelTraceTest, StartsAndClosesWithoutAMachine) {
    withoutMachine();
    for (bool stale : {false, true}) {
        SCOPED_TRACE(stale ? "stale socket" : "no socket");
        if (stale) {
            // A socket file left by a machine that is gone: connecting is refused.
            const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
            ASSERT_GE(fd, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", machineSocket_.c_str());
            ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
            ::close(fd);
        }
        fs::remove(settingsFile());
        auto panel = start();
        pressMessageBoxButton(*panel);
        expectCleanExit(*panel);
        EXPECT_TRUE(savedPosition()) << settingsText();
    }
}

// Guards against a panel that hangs or crashes when the machine goes away
// under it: its quit request then writes to a dead connection, and the close
// still ends the program cleanly.
TEST_F(PanelTraceTest, MachineEndingUnderThePanelLeavesItsCloseAlone) {
    openLogger();
    auto panel = start();
    const auto window = waitForWindowAt(0, 0, kFramedWidth, kFramedHeight);
    ASSERT_TRUE(window) << panel->output();
    logger_.reset();
    machine_->crash();
    closeWithButton(*window);
    expectCleanExit(*panel);
    EXPECT_TRUE(savedPosition()) << settingsText();
}

}  // namespace
