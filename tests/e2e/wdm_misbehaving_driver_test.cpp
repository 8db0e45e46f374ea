// The WDM audio driver's stand-in misbehaving against the real root driver
// and USB function driver: requests of the wrong length, a second adapter,
// an adapter that is not its own, and streams and an adapter it never
// closes. Each is refused or cleaned up by the root driver, what the driver
// did open keeps working, and the interface's removal leaves nothing behind.
#include <gtest/gtest.h>

#include "platform/kernel/pool.h"
#include "support/root_machine.h"
#include "support/wdm_double.h"

namespace {

using namespace vexa::test;
using vexa::doubles::WdmDoubleDevice;
using vexa::doubles::WdmDoubleStream;
using vexa::doubles::WdmKnobs;
using platform::device::VexaModel;

constexpr ULONG kWdmPoolTag = 0x6B61726D;

class WdmMisbehavingDriverTest : public ::testing::Test {
protected:
    // Plugs a Cantile-QE with the double set by `knobs` (streams opened at start).
    unsigned plug(const std::function<void(WdmKnobs&)>& knobs) {
        double_.knobs([&](WdmKnobs& k) {
            k = WdmKnobs{};
            k.autoStreams = true;
            knobs(k);
        });
        return root_.ports().plug(VexaModel::CantileQe).number;
    }
    void run_ms(uint64_t ms) { root_.machine().clock().run_for(platform::Milliseconds(ms)); }
    // The removal: no child is left, every ring is freed and no call reached the unloaded double.
    void unplug_leaves_nothing(unsigned port, const char* what) {
        ASSERT_TRUE(root_.ports().unplug(port)) << what;
        EXPECT_TRUE(root_.children().empty()) << what;
        EXPECT_EQ(platform::pool::outstanding_bytes(kWdmPoolTag), ringBytes_) << what << ": every ring was freed";
        std::lock_guard guard(double_.state().lock);
        EXPECT_EQ(double_.state().callsWhileUnloaded, 0u) << what;
    }
    // The two streams ran and the capture brought the render back bit-exact.
    void streams_loop_back(const char* what) {
        WdmDoubleStream capture = double_.stream(false);
        WdmDoubleStream render = double_.stream(true);
        EXPECT_EQ(capture.openStatus, STATUS_SUCCESS) << what;
        EXPECT_EQ(render.openStatus, STATUS_SUCCESS) << what;
        EXPECT_GT(capture.checked, 0u) << what;
        EXPECT_EQ(capture.mismatches, 0u) << what << ": first at capture frame " << capture.firstMismatch;
        EXPECT_EQ(render.oddRequests + capture.oddRequests, 0u) << what;
    }

    WdmDouble double_{VEXA_DOUBLES_DIR};  // outlives the machine, which unloads the image
    int64_t ringBytes_ = platform::pool::outstanding_bytes(kWdmPoolTag);
    RootMachine root_{VEXA_DRIVER_DIR, {}, VEXA_USB_DRIVER_DIR, VEXA_DOUBLES_DIR};
};

// A request one byte short of its record is refused with STATUS_INVALID_PARAMETER at every
// step (version, adapter, stream): the driver gets no further than the refusal, and the next
// arrival with a well-behaved driver streams.
TEST_F(WdmMisbehavingDriverTest, RequestsOfTheWrongLengthGetNoFurther) {
    unsigned port = plug([](WdmKnobs& k) { k.versionBytes -= 1; });
    {
        std::lock_guard guard(double_.state().lock);
        WdmDoubleDevice& device = *double_.state().devices.back();
        EXPECT_EQ(device.versionStatus, STATUS_INVALID_PARAMETER);
        EXPECT_FALSE(device.running) << "no adapter without the version";
    }
    EXPECT_EQ(double_.count_calls("open"), 0u);
    unplug_leaves_nothing(port, "short version");

    port = plug([](WdmKnobs& k) { k.openBytes -= 1; });
    {
        std::lock_guard guard(double_.state().lock);
        WdmDoubleDevice& device = *double_.state().devices.back();
        EXPECT_EQ(device.versionStatus, STATUS_SUCCESS);
        EXPECT_EQ(device.openStatus, STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(device.streams.empty());
    }
    unplug_leaves_nothing(port, "short open");

    port = plug([](WdmKnobs& k) { k.openStreamBytes -= 1; });
    {
        std::lock_guard guard(double_.state().lock);
        WdmDoubleDevice& device = *double_.state().devices.back();
        EXPECT_EQ(device.openStatus, STATUS_SUCCESS);
        ASSERT_EQ(device.streams.size(), 2u);
        for (const WdmDoubleStream& s : device.streams) EXPECT_EQ(s.openStatus, STATUS_INVALID_PARAMETER) << s.render;
    }
    run_ms(50);
    EXPECT_EQ(double_.stream(false).periods + double_.stream(true).periods, 0u) << "no refused stream is called";
    unplug_leaves_nothing(port, "short stream open");
    EXPECT_EQ(double_.count_calls("close-adapter"), 1u) << "the adapter it did open, it closed";

    port = plug([](WdmKnobs&) {});
    run_ms(500);
    streams_loop_back("well-behaved after the refusals");
    unplug_leaves_nothing(port, "well-behaved");
}

// A second adapter on the same child is refused and the first keeps streaming; requests that
// name an adapter other than the driver's own are refused (format question and stream opens),
// and its own adapter still closes at removal.
TEST_F(WdmMisbehavingDriverTest, ASecondAdapterAndAForeignOneAreRefused) {
    unsigned port = plug([](WdmKnobs& k) { k.openTwice = true; });
    {
        std::lock_guard guard(double_.state().lock);
        WdmDoubleDevice& device = *double_.state().devices.back();
        EXPECT_EQ(device.openStatus, STATUS_SUCCESS);
        EXPECT_EQ(device.secondOpenStatus, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(device.renderMayChange, 1);
    }
    run_ms(500);
    streams_loop_back("after a second open");
    unplug_leaves_nothing(port, "second open");
    EXPECT_EQ(double_.count_calls("close-adapter"), 1u);

    double_.state().take_calls();
    port = plug([](WdmKnobs& k) { k.foreignAdapter = true; });
    {
        std::lock_guard guard(double_.state().lock);
        WdmDoubleDevice& device = *double_.state().devices.back();
        EXPECT_EQ(device.openStatus, STATUS_SUCCESS);
        EXPECT_EQ(device.renderMayChange, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(device.captureMayChange, STATUS_INVALID_PARAMETER);
        ASSERT_EQ(device.streams.size(), 2u);
        for (const WdmDoubleStream& s : device.streams) EXPECT_EQ(s.openStatus, STATUS_INVALID_PARAMETER) << s.render;
    }
    run_ms(50);
    EXPECT_EQ(double_.stream(false).periods + double_.stream(true).periods, 0u);
    unplug_leaves_nothing(port, "foreign adapter");
    EXPECT_EQ(double_.count_calls("close-adapter"), 1u) << "its own adapter closed";
}

// A driver that never closes its streams or its adapter: the removal closes them for it (the
// rings are freed and the double is never called once unloaded), and the next arrival opens
// and streams afresh.
TEST_F(WdmMisbehavingDriverTest, WhatTheDriverNeverClosesTheRemovalCloses) {
    unsigned port = plug([](WdmKnobs& k) { k.neverClose = true; });
    run_ms(500);
    streams_loop_back("streams never closed");
    EXPECT_GT(platform::pool::outstanding_bytes(kWdmPoolTag), ringBytes_) << "the streams hold their rings";
    unplug_leaves_nothing(port, "never closed");
    EXPECT_EQ(double_.count_calls("close-stream") + double_.count_calls("close-adapter"), 0u)
        << "the double closed nothing itself";

    port = plug([](WdmKnobs&) {});
    {
        std::lock_guard guard(double_.state().lock);
        EXPECT_EQ(double_.state().devices.back()->openStatus, STATUS_SUCCESS) << "the child's adapter slot is free";
    }
    run_ms(500);
    streams_loop_back("the next arrival");
    unplug_leaves_nothing(port, "the next arrival");
}

}  // namespace
