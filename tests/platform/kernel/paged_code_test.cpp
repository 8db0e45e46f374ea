// PAGED_CODE at the entry of code that runs only at PASSIVE_LEVEL.
#include <gtest/gtest.h>

#include "platform/kernel/ntddk.h"
#include "support/rule_recorder.h"

namespace {

void PassiveOnly() { PAGED_CODE(); }

// A callback reached at a raised level must be reported, naming the function; at PASSIVE_LEVEL it must pass quietly.
TEST(PagedCodeTest, ReportsARaisedLevelOnly) {
    vexa::test::RuleRecorder recorder;
    PassiveOnly();
    EXPECT_EQ(recorder.count(), 0u);
    for (KIRQL level : {APC_LEVEL, DISPATCH_LEVEL}) {
        KIRQL old;
        KeRaiseIrql(level, &old);
        PassiveOnly();
        KeLowerIrql(old);
    }
    auto violations = recorder.violations();
    ASSERT_EQ(violations.size(), 2u);
    EXPECT_NE(violations[0].find("PassiveOnly"), std::string::npos) << violations[0];
}

}  // namespace
