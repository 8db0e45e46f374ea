// The panel's trace points and its logger reference against the logger
// stand-in, on both roads into the machine: the records' ids, masks and
// values, the logger's switches, and a reference dropped once and only by
// its own holder.
#include <gtest/gtest.h>

#include <vector>

#include "panel_trace.h"
#include "support/road_fixture.h"

namespace {

using namespace vexa::log;
using namespace vexa::test;
using vexa::user_log::StandardEnabled;

class PanelTraceRecordsTest : public RoadTest {
protected:
    ~PanelTraceRecordsTest() override {
        // The client's state is the program's: leave it closed for the next case.
        while (LoggerClose() == STATUS_SUCCESS) {
        }
    }

    std::vector<LogRecord> records() { return machine_.logger().records(kRingTagStandard); }
};

// An information record with the id and the first value given, the rest zero,
// in the standard ring; none once the reference is dropped.
TEST_P(PanelTraceRecordsTest, RecordsCarryIdMaskAndValue) {
    cpl::trace::LoggerReference logger;
    logger.open();
    ASSERT_TRUE(logger.holds());
    cpl::trace::info(cpl::trace::kIdStartUp, cpl::trace::kProgramPackedVersion);
    cpl::trace::info(cpl::trace::kIdQuitRequested);
    logger.close();
    cpl::trace::info(cpl::trace::kIdShutDown);

    const auto written = records();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0].id, 0x96202Au);
    EXPECT_EQ(written[0].mask, kLogInfo);
    EXPECT_EQ(written[0].value1, 0x804030020000BB7Full);
    EXPECT_EQ(written[1].id, 0x9620A5u);
    EXPECT_EQ(written[1].mask, kLogInfo);
    for (const auto& r : written) {
        EXPECT_EQ(r.value2 | r.value3 | r.value4, 0u);
        EXPECT_EQ(r.id >> 13, 1201u) << "the program's file number";
    }
    EXPECT_TRUE(machine_.logger().records(kRingTagRealtime).empty());
}

// Guards against trace points that ignore the logger's switches or fail
// without a logger: nothing is written, and nothing breaks.
TEST_P(PanelTraceRecordsTest, InformationOffOrNoLoggerWritesNothing) {
    cpl::trace::LoggerReference logger;
    logger.open();
    machine_.logger().header(kRingTagStandard)->enableMask = kLogError | kLogWarning | kLogPal;
    cpl::trace::info(cpl::trace::kIdStartUp, 1);
    EXPECT_TRUE(records().empty());
    machine_.logger().header(kRingTagStandard)->enableMask = kLogInfo;
    cpl::trace::info(cpl::trace::kIdStartUp, 2);
    EXPECT_EQ(records().size(), 1u) << "the information bit alone lets it through";
    logger.close();

    machine_.logger().configure({.present = false});
    cpl::trace::LoggerReference without;
    without.open();
    EXPECT_FALSE(without.holds());
    cpl::trace::info(cpl::trace::kIdStartUp, 3);
    without.close();
    EXPECT_EQ(LoggerClose(), STATUS_UNSUCCESSFUL) << "no reference was left behind";
}

// Guards against a second quit request, or a quit after a failed open,
// dropping a reference that another part of the program holds.
TEST_P(PanelTraceRecordsTest, DropsOnlyItsOwnReferenceOnce) {
    ASSERT_EQ(LoggerOpen(), STATUS_SUCCESS);  // another holder, as the device-access library is
    cpl::trace::LoggerReference logger;
    logger.open();
    logger.close();
    logger.close();
    EXPECT_TRUE(StandardEnabled(kLogInfo)) << "the other holder's reference is still there";
    EXPECT_EQ(LoggerClose(), STATUS_SUCCESS);
    EXPECT_FALSE(StandardEnabled(kLogInfo));

    machine_.logger().configure({.present = false});
    cpl::trace::LoggerReference failed;
    failed.open();
    machine_.logger().configure({});
    ASSERT_EQ(LoggerOpen(), STATUS_SUCCESS);
    failed.close();
    EXPECT_TRUE(StandardEnabled(kLogInfo)) << "a failed open took no reference, so its close drops none";
    EXPECT_EQ(LoggerClose(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Roads, PanelTraceRecordsTest, ::testing::Values(Road::Local, Road::Socket), RoadName);

}  // namespace
