// Opening and closing a bus against the root driver, on both roads: the
// version check and registration, busy interfaces retried on the library's
// clock (no wall time), refusals, every way of closing, and the root device
// going away under an open bus.
#include <gtest/gtest.h>

#include "support/library_fixture.h"

namespace {

using namespace vexa::test;
using namespace mrak::vexa;

class BusOpenTest : public RootLibraryTest {};

// Open checks the version, registers, and starts a thread the root driver's notifications reach.
TEST_P(BusOpenTest, OpenChecksTheVersionAndRegisters) {
    BusRef bus = open_bus();
    EXPECT_TRUE(bus->alive());
    EXPECT_EQ(bus->driver_version(), vexa::pal::kDriverVersion);
    root_.notify(vexa::pal::kPalNotifyBusChanged);
    ASSERT_TRUE(log_.wait_for("buffer_size_max_changed"));
    EXPECT_EQ(log_.take(), (std::vector<std::string>{"refresh", "update", "clock_source_changed",
                                                     "sample_rate_changed", "current_device_changed",
                                                     "operation_mode_changed", "buffer_size_changed",
                                                     "buffer_size_min_changed", "buffer_size_max_changed"}))
        << "the first update after the first refresh: every setting leaves its all-ones start";
}

// An interface that answers busy (or a general failure) is tried again 100 ms apart on the library's clock.
TEST_P(BusOpenTest, BusyOpensAreRetriedThenSucceed) {
    for (NTSTATUS status : {STATUS_DEVICE_BUSY, STATUS_UNSUCCESSFUL}) {
        TestClock clock;
        platform::fault::inject("CreateFile", status, 0, 5);
        BusRef bus = open_bus();
        EXPECT_TRUE(bus->alive());
        EXPECT_EQ(platform::fault::fired("CreateFile"), 5u);
        EXPECT_EQ(clock.retry_pauses(), 5u);
        platform::fault::clear();
    }
}

// Busy for longer than 10 s: about a hundred attempts, then xptn_device, and no wall time spent.
TEST_P(BusOpenTest, BusyForTenSecondsTimesOut) {
    TestClock clock;
    uint32_t started = clock.now();
    platform::fault::inject("CreateFile", STATUS_DEVICE_BUSY, 0, 0);
    BusRef bus = make_bus();
    try {
        bus->open();
        FAIL() << "opened a busy interface";
    } catch (const xptn_device& e) {
        EXPECT_EQ(e.type(), "xptn_device->xptn_driver_access");
        EXPECT_EQ(e.line(), 138u);
        EXPECT_EQ(e.where(), "mrak::vexa::bus_impl::open: \"pal::time()-time > kMRAK_VEXA_DRIVER_OPEN_TIMEOUT\"");
        EXPECT_EQ(e.file(), "mrak_vexa_pal_bus_usb_win");
    }
    unsigned attempts = platform::fault::fired("CreateFile");
    EXPECT_GE(attempts, 100u);
    EXPECT_LE(attempts, 102u);
    EXPECT_GT(clock.now() - started, bus_impl::kMRAK_VEXA_DRIVER_OPEN_TIMEOUT);
    EXPECT_FALSE(bus->alive());
}

// Any other refusal of the open is xptn_driver_access at once, with no retry.
TEST_P(BusOpenTest, OtherRefusalsFailAtOnce) {
    TestClock clock;
    platform::fault::inject("CreateFile", STATUS_ACCESS_DENIED);
    BusRef bus = make_bus();
    try {
        bus->open();
        FAIL();
    } catch (const xptn_driver_access& e) {
        EXPECT_EQ(e.type(), "xptn_driver_access->xptn_driver");
        EXPECT_EQ(e.line(), 148u);
        EXPECT_EQ(e.where(), "mrak::vexa::bus_impl::open: \"true\"");
    }
    EXPECT_EQ(clock.retry_pauses(), 0u);

    BusRef missing(new RecordingBus(&log_), 0);
    missing->create(nullptr, "\\\\?\\ROOT#NOTHING#0000#{00000000-0000-0000-0000-000000000000}\\PAL");
    EXPECT_THROW(missing->open(), xptn_driver_access);
}

// A failed version request is xptn_driver_version at line 191; the bus keeps its handle for close.
TEST_P(BusOpenTest, FailedVersionRequest) {
    platform::fault::inject("DeviceIoControl", STATUS_INVALID_DEVICE_REQUEST);
    BusRef bus = make_bus();
    try {
        bus->open();
        FAIL();
    } catch (const xptn_driver_version& e) {
        EXPECT_EQ(e.line(), 191u);
        EXPECT_EQ(e.where(), "mrak::vexa::bus_impl::open: \"outSize != sizeof(response)\"");
    }
    EXPECT_FALSE(bus->alive());
    bus->close();  // closes the handle it kept; the unregister fails quietly
}

// Close: on a bus never opened it does nothing; twice closes once; after it no command goes out;
// the bus opens again.
TEST_P(BusOpenTest, CloseNormallyTwiceAndNeverOpened) {
    BusRef never = make_bus();
    never->close();
    EXPECT_FALSE(never->alive());

    BusRef bus = open_bus();
    bus->close();
    EXPECT_FALSE(bus->alive());
    bus->close();
    try {
        bus->refresh();
        FAIL();
    } catch (const xptn_device& e) {
        EXPECT_EQ(e.line(), 334u);
        EXPECT_EQ(e.where(), "mrak::vexa::bus_impl::ioctl: \"(m_hBus == INVALID_HANDLE_VALUE)\"");
    }
    bus->open();
    EXPECT_TRUE(bus->alive());
    root_.notify(vexa::pal::kPalNotifyBusChanged);
    EXPECT_TRUE(log_.wait_for("update")) << "registered again";
}

// An unregister that fails cannot leave close waiting for ever: the pending wait is cancelled.
TEST_P(BusOpenTest, CloseWithAFailingUnregisterDoesNotHang) {
    BusRef bus = open_bus();
    platform::fault::inject("DeviceIoControl", STATUS_UNSUCCESSFUL);
    bus->close();
    EXPECT_EQ(platform::fault::fired("DeviceIoControl"), 1u) << "the unregister was the request refused";
    EXPECT_FALSE(bus->alive());
    EXPECT_TRUE(log_.entries().empty()) << "a stop asked for is no error";
}

// The root device going away under an open bus ends the thread, and the application hears of it.
TEST_P(BusOpenTest, RootDeviceRemovalEndsTheThreadWithOnException) {
    BusRef bus = open_bus();
    root_.machine().pnp().remove(root_.root_node());
    ASSERT_TRUE(log_.wait_for("on_exception xptn_device->xptn_driver_access 512"));
    EXPECT_FALSE(bus->alive());
    bus->close();  // nothing left to unregister with; still closes
}

INSTANTIATE_TEST_SUITE_P(Roads, BusOpenTest, ::testing::Values(LibraryRoad::Local, LibraryRoad::Socket),
                         LibraryRoadName);

}  // namespace
