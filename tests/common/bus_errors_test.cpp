// How a bus's requests fail: every row of the error table, whether the
// request fails at once or after pending; byte counts that fall short;
// busy retries with their progress and their limit; a close that overtakes
// a busy retry or a pending command, from another thread or from the
// progress hook itself; DCP commands' bytes, argument and size checks; and
// the interface versions the bus accepts.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "support/library_fixture.h"

namespace {

using namespace vexa::test;
using namespace mrak::vexa;
using ::vexa::pal::ClientCounts;

// The type text and line of what `fn` threw; empty when it threw nothing.
template <typename Fn>
std::pair<std::string, uint32_t> Thrown(Fn fn) {
    try {
        fn();
    } catch (const mrak::exception::base& e) {
        return {e.type(), e.line()};
    }
    return {"", 0};
}

// Runs `fn` on a thread of its own and waits up to 20 s for it to end. A
// thread that does not end is deadlocked: nothing can join it, so the
// program stops here with the reason rather than hang.
template <typename Fn>
void ExpectEnds(Fn fn, const char* what) {
    std::mutex lock;
    std::condition_variable ended;
    bool done = false;
    std::thread runner([&] {
        fn();
        std::lock_guard hold(lock);
        done = true;
        ended.notify_all();
    });
    std::unique_lock hold(lock);
    if (!ended.wait_for(hold, std::chrono::seconds(20), [&] { return done; })) {
        std::fprintf(stderr, "deadlocked: %s\n", what);
        std::abort();
    }
    hold.unlock();
    runner.join();
}

void ReadCounts(bus_impl& bus) {
    ClientCounts counts{};
    uint64_t length = sizeof(counts);
    bus.dcp_cmd(0, kDcpCategoryBus, ::vexa::pal::kDcpBusGetClientCounts, nullptr, 0, &counts, &length);
}

class BusErrorTest : public RootLibraryTest {};

// Each Win32 error reaches the caller as its one exception, the same whether the request failed at
// once or pended first; a cancelled request and a short byte count are failures, never a silent return.
TEST_P(BusErrorTest, ErrorTableIsTheSameImmediateAndPended) {
    BusRef bus = open_bus();
    struct Row {
        NTSTATUS status;
        std::string type;
        uint32_t line;
    };
    std::vector<Row> table = {
        {STATUS_CRC_ERROR, "xptn_device_access->xptn_device", 356},
        {STATUS_UNSUCCESSFUL, "xptn_driver_locked->xptn_driver", 360},
        {STATUS_INVALID_PARAMETER, "xptn_internal->mrak::exception::base", 352},
        {STATUS_INVALID_DEVICE_REQUEST, "xptn_driver->xptn_internal", 398},
        {STATUS_ACCESS_DENIED, "xptn_driver->xptn_internal", 398},
        {STATUS_CANCELLED, "xptn_driver->xptn_internal", 398},
        {STATUS_SUCCESS, "xptn_driver->xptn_internal", 389},  // no bytes where 16 were asked for
    };
    for (const char* mode : {"DeviceIoControl", "DeviceIoControlPended"}) {
        for (const Row& row : table) {
            platform::fault::inject(mode, row.status);
            auto [type, line] = Thrown([&] { ReadCounts(*bus); });
            EXPECT_EQ(type, row.type) << mode << " " << std::hex << row.status;
            EXPECT_EQ(line, row.line) << mode << " " << std::hex << row.status;
            EXPECT_EQ(platform::fault::fired(mode), 1u) << "never sent again: " << mode;
            platform::fault::clear();
        }
    }
    ReadCounts(*bus);  // and the bus goes on
    EXPECT_TRUE(bus->alive());
}

// Busy is retried 100 ms apart with rising progress (the ioctl index beside it), at once or pended,
// and ends in success when the interface answers.
TEST_P(BusErrorTest, BusyIsRetriedWithProgress) {
    for (const char* mode : {"DeviceIoControl", "DeviceIoControlPended"}) {
        TestClock clock;
        BusRef bus = open_bus();
        platform::fault::inject(mode, STATUS_DEVICE_BUSY, 0, 3);
        ReadCounts(*bus);
        EXPECT_EQ(clock.retry_pauses(), 3u) << mode;
        EXPECT_EQ(bus->progress_calls(), (std::vector<std::pair<uint32_t, uint32_t>>{{0, 2}, {2, 2}, {4, 2}}))
            << "elapsed x 100 / 5000, for index 2";
        platform::fault::clear();
    }
}

// Busy for longer than the bus's timeout: xptn_device_timeout after about 50 tries, progress never past 100.
TEST_P(BusErrorTest, BusyPastTheTimeoutTimesOut) {
    TestClock clock;
    BusRef bus = open_bus();
    platform::fault::inject("DeviceIoControlPended", STATUS_DEVICE_BUSY, 0, 0);
    auto [type, line] = Thrown([&] { ReadCounts(*bus); });
    EXPECT_EQ(type, "xptn_device_timeout->xptn_device");
    EXPECT_EQ(line, 364u);
    auto calls = bus->progress_calls();
    EXPECT_GE(calls.size(), 50u);
    EXPECT_LE(calls.size(), 52u);
    for (size_t i = 1; i < calls.size(); ++i) EXPECT_GE(calls[i].first, calls[i - 1].first);
    EXPECT_EQ(calls.back().first, 100u);
    platform::fault::clear();
}

// A clock whose pauses are long enough to overflow 32-bit arithmetic, and a timeout of 0 (taken as 1):
// progress stays a true percentage and nothing divides by zero.
TEST_P(BusErrorTest, ProgressCannotOverflowOrDivideByZero) {
    struct LongPauses : mrak::vexa::pal::clock {
        LongPauses() { mrak::vexa::pal::set_clock(this); }
        ~LongPauses() override { mrak::vexa::pal::set_clock(nullptr); }
        uint32_t now() override { return now_.load(); }
        void sleep(uint32_t ms) override { now_ += ms == bus_impl::kRetryPauseMs ? 50'000'000u : ms; }
        std::atomic<uint32_t> now_{0};
    } clock;
    BusRef bus = open_bus();
    bus->set_timeout(4'000'000'000u);
    platform::fault::inject("DeviceIoControl", STATUS_DEVICE_BUSY, 0, 3);
    ReadCounts(*bus);
    EXPECT_EQ(bus->progress_calls(), (std::vector<std::pair<uint32_t, uint32_t>>{{0, 2}, {1, 2}, {2, 2}}));
    platform::fault::clear();

    BusRef quick = open_bus();
    quick->set_timeout(0);
    platform::fault::inject("DeviceIoControl", STATUS_DEVICE_BUSY, 0, 0);
    EXPECT_EQ(Thrown([&] { ReadCounts(*quick); }).second, 364u);
    EXPECT_EQ(quick->progress_calls().front().first, 0u);
    platform::fault::clear();
}

// A close that comes while another thread waits between busy retries returns without waiting
// for that request, and the retry ends with xptn_device (line 401) at its next pause.
TEST_P(BusErrorTest, CloseDuringABusyRetry) {
    struct GateClock : mrak::vexa::pal::clock {
        GateClock() { mrak::vexa::pal::set_clock(this); }
        ~GateClock() override { mrak::vexa::pal::set_clock(nullptr); }
        uint32_t now() override { return now_.load(); }
        void sleep(uint32_t ms) override {
            now_ += ms;
            if (ms != bus_impl::kRetryPauseMs) return;
            std::unique_lock hold(lock);
            paused = true;
            changed.notify_all();
            changed.wait(hold, [&] { return open; });
        }
        std::atomic<uint32_t> now_{0};
        std::mutex lock;
        std::condition_variable changed;
        bool paused = false;
        bool open = false;
    } clock;
    BusRef bus = open_bus();
    platform::fault::inject("DeviceIoControl", STATUS_DEVICE_BUSY, 0, 1);
    std::pair<std::string, uint32_t> thrown;
    std::thread sender([&] { thrown = Thrown([&] { ReadCounts(*bus); }); });
    {
        std::unique_lock hold(clock.lock);
        ASSERT_TRUE(clock.changed.wait_for(hold, std::chrono::seconds(20), [&] { return clock.paused; }));
    }
    bus->close();  // the sender is still paused: close does not wait for its request
    EXPECT_FALSE(bus->alive());
    {
        std::lock_guard hold(clock.lock);
        clock.open = true;
        clock.changed.notify_all();
    }
    sender.join();
    EXPECT_EQ(thrown, (std::pair<std::string, uint32_t>{"xptn_device->xptn_driver_access", 401}));
}

// A user's "cancel" during a busy retry: the bus's own progress hook closes the bus, on the
// thread whose request is retrying. close returns (it waited for the requests in flight, its own
// caller's among them, for ever) and the retry ends with the device error of its loop.
TEST_P(BusErrorTest, CloseFromTheProgressHookEndsTheRetry) {
    TestClock clock;
    BusRef bus = open_bus();
    std::atomic<int> calls{0};
    bus->on_progress([&] {
        if (calls++ == 0) bus->close();
    });
    platform::fault::inject("DeviceIoControl", STATUS_DEVICE_BUSY, 0, 0);
    std::pair<std::string, uint32_t> thrown;
    ExpectEnds([&] { thrown = Thrown([&] { ReadCounts(*bus); }); }, "close from the progress hook");
    platform::fault::clear();
    EXPECT_EQ(thrown, (std::pair<std::string, uint32_t>{"xptn_device->xptn_driver_access", 401}));
    EXPECT_FALSE(bus->alive());
    bus->on_progress(nullptr);
    bus->open();  // and the bus opens again
    EXPECT_TRUE(bus->alive());
}

// close on one thread while another thread's request is in a busy retry whose progress hook
// reads a getter once the closer holds the library lock: close waited for that request with the
// lock held, and the getter for the lock. Now close returns, the getter answers, and the retry
// ends with line 401.
TEST_P(BusErrorTest, CloseWhileAProgressHookReadsAGetter) {
    TestClock clock;
    BusRef bus = open_bus();
    static thread_local bool t_sender = false;
    std::atomic<bool> hooked{false};
    std::atomic<bool> closed{false};
    std::atomic<bool> read{false};
    bus->on_progress([&] {
        if (!t_sender || hooked.exchange(true)) return;
        // Waits until another thread (the closer) holds the lock, or is done.
        while (!closed && base::try_lock()) {
            base::unlock();
            std::this_thread::yield();
        }
        (void)bus->sample_rate();
        read = true;
    });
    platform::fault::inject("DeviceIoControl", STATUS_DEVICE_BUSY, 0, 0);
    std::pair<std::string, uint32_t> thrown;
    std::thread sender([&] {
        t_sender = true;
        thrown = Thrown([&] { ReadCounts(*bus); });
    });
    while (!hooked) std::this_thread::yield();
    ExpectEnds(
        [&] {
            bus->close();
            closed = true;
        },
        "close while a progress hook reads a getter");
    sender.join();
    platform::fault::clear();
    EXPECT_TRUE(read);
    EXPECT_EQ(thrown, (std::pair<std::string, uint32_t>{"xptn_device->xptn_driver_access", 401}));
}

// A DCP command's argument checks, in their order, and its size checks before anything is allocated.
TEST_P(BusErrorTest, DcpArgumentAndSizeChecks) {
    BusRef bus = open_bus();
    uint8_t byte = 0;
    uint64_t size = 1;
    auto call = [&](const void* data, uint64_t dataSize, void* response, uint64_t* responseSize) {
        return Thrown([&] { bus->dcp_cmd(0, 2, 0, data, dataSize, response, responseSize); });
    };
    std::string internal = "xptn_internal->mrak::exception::base";
    EXPECT_EQ(call(nullptr, 3, nullptr, &size), (std::pair{internal, 271u})) << "the data check comes first";
    EXPECT_EQ(call(&byte, 1, nullptr, &size), (std::pair{internal, 272u}));
    EXPECT_EQ(call(&byte, 1, &byte, nullptr), (std::pair{internal, 273u}));
    EXPECT_EQ(call(&byte, UINT64_MAX - 4, nullptr, nullptr), (std::pair{internal, 274u}));
    EXPECT_EQ(call(&byte, uint64_t{UINT32_MAX} - 15, nullptr, nullptr), (std::pair{internal, 274u}));
    uint64_t huge = UINT64_MAX - 2;
    EXPECT_EQ(call(nullptr, 0, &byte, &huge), (std::pair{internal, 275u}));
    huge = uint64_t{UINT32_MAX} - 7;
    EXPECT_EQ(call(nullptr, 0, &byte, &huge), (std::pair{internal, 275u}));
    // With nothing to send and nothing to receive, the command is valid.
    EXPECT_EQ(Thrown([&] { bus->dcp_cmd(0, 0x400, 11, nullptr, 0, nullptr, nullptr); }).first, "");
}

INSTANTIATE_TEST_SUITE_P(Roads, BusErrorTest, ::testing::Values(LibraryRoad::Local, LibraryRoad::Socket),
                         LibraryRoadName);

class StubErrorTest : public StubLibraryTest {};

// The request's exact bytes; the reply's length as the reply says; only that much copied, the rest
// zero (the stale request bytes behind a short reply never pass for data).
TEST_P(StubErrorTest, DcpBytesAndABoundedReply) {
    BusRef bus = open_bus();
    std::vector<uint8_t> data(40);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(0xA0 + i);
    script([](PalStubState& s) {
        s.commands.clear();
        s.reply = {1, 2, 3, 4};
    });
    std::vector<uint8_t> response(64, 0xEE);
    uint64_t length = response.size();
    bus->dcp_cmd(0x1122334455667788, 0x0203, 0x0405, data.data(), data.size(), response.data(), &length);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(std::vector<uint8_t>(response.begin(), response.begin() + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(std::vector<uint8_t>(response.begin() + 4, response.end()), std::vector<uint8_t>(60, 0));
    const uint8_t header[16] = {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 0x03, 0x02, 0x05, 0x04, 0, 0, 0, 0};
    std::vector<uint8_t> expected(sizeof(header) + data.size());
    std::memcpy(expected.data(), header, sizeof(header));
    std::memcpy(expected.data() + sizeof(header), data.data(), data.size());
    script([&](PalStubState& s) {
        ASSERT_EQ(s.commands.size(), 1u);
        EXPECT_EQ(s.commands[0], expected);
    });

    // No data and no reply: a 16-byte request.
    script([](PalStubState& s) { s.commands.clear(); });
    bus->dcp_cmd(0, 0x400, 11, nullptr, 0, nullptr, nullptr);
    script([](PalStubState& s) {
        ASSERT_EQ(s.commands.size(), 1u);
        EXPECT_EQ(s.commands[0].size(), 16u);
    });
}

// A reply whose status word is not 0 is xptn_device_firmware.
TEST_P(StubErrorTest, ReplyStatusIsFirmwareError) {
    BusRef bus = open_bus();
    script([](PalStubState& s) { s.replyStatus = 0x80000001; });
    auto [type, line] = Thrown([&] { bus->dcp_cmd(5, 2, 0, nullptr, 0, nullptr, nullptr); });
    EXPECT_EQ(type, "xptn_device_firmware->xptn_device");
    EXPECT_EQ(line, 311u);
    script([](PalStubState& s) { s.replyStatus = 0; });
}

// 0x7001 as the lowest compatible version is accepted, 0x7002 refused with the driver's version kept;
// a version reply of the wrong size is no version at all.
TEST_P(StubErrorTest, InterfaceVersions) {
    script([](PalStubState& s) { s.version = {0x7003, 0x7001, 0x8040300100000005ull}; });
    BusRef accepted = open_bus();
    EXPECT_EQ(accepted->driver_version(), 0x8040300100000005ull);
    accepted->close();

    script([](PalStubState& s) { s.version = {0x7002, 0x7002, 0x8040300200000006ull}; });
    BusRef refused = make_bus();
    try {
        refused->open();
        FAIL();
    } catch (const xptn_driver_version& e) {
        EXPECT_EQ(e.line(), 200u);
        EXPECT_EQ(e.where(),
                  "mrak::vexa::bus_impl::open: \"(response.ioctlMinCompatibleAPIVersion > kIoctlAPIVersion)\"");
    }
    EXPECT_EQ(refused->driver_version(), 0x8040300200000006ull);
    EXPECT_FALSE(refused->alive());
    script([](PalStubState& s) { EXPECT_EQ(s.registered, 0u) << "a refused version never registers"; });

    script([](PalStubState& s) {
        s.version = {0x7001, 0x7001, 1};
        s.versionBytes = 12;
    });
    BusRef shortReply = make_bus();
    EXPECT_EQ(Thrown([&] { shortReply->open(); }).second, 191u);
}

// A command pending on one thread while another closes the bus: the close cancels it, the sender
// gets the device error (the device went away from it; it read "Driver not installed"), and the
// handle goes only after the request has finished with the buffers.
TEST_P(StubErrorTest, CloseRacingAPendingCommand) {
    for (int round = 0; round < 5; ++round) {
        BusRef bus = open_bus();
        script([](PalStubState& s) {
            s.holdCategory = kDcpCategoryClock;
            s.held = 0;
        });
        std::pair<std::string, uint32_t> thrown;
        std::thread sender([&] {
            std::vector<uint8_t> rates(64);
            uint64_t length = rates.size();
            thrown = Thrown([&] { bus->dcp_cmd(0, kDcpCategoryClock, 1, nullptr, 0, rates.data(), &length); });
        });
        ASSERT_TRUE(wait_held(1));
        bus->close();
        sender.join();
        EXPECT_EQ(thrown, (std::pair<std::string, uint32_t>{"xptn_device->xptn_driver_access", 401}));
        EXPECT_FALSE(bus->alive());
        script([](PalStubState& s) {
            s.holdCategory = 0;
            EXPECT_EQ(s.registered, 0u);
        });
    }
}

// Two errors that misled: a reply shorter than asked read as "Driver version mismatch" (which
// the panel takes for a driver the library refuses, at start-up), and a command cancelled by close
// read as "Driver not installed". The short reply is the driver's error, the cancelled command the
// device's, and neither is a version mismatch.
TEST_P(StubErrorTest, ShortReplyAndCancelledCommandSayWhatHappened) {
    BusRef bus = open_bus();
    auto send = [&]() -> std::pair<std::string, bool> {
        std::vector<uint8_t> rates(64);
        uint64_t length = rates.size();
        try {
            bus->dcp_cmd(0, kDcpCategoryClock, 1, nullptr, 0, rates.data(), &length);
        } catch (const xptn_driver_version& e) {
            return {e.message(), true};
        } catch (const mrak::exception::base& e) {
            return {e.message(), false};
        }
        return {"", false};
    };
    for (const char* mode : {"DeviceIoControl", "DeviceIoControlPended"}) {
        platform::fault::inject(mode, STATUS_SUCCESS);  // completes with no bytes where 72 were asked for
        EXPECT_EQ(send(), (std::pair<std::string, bool>{"Driver not installed", false})) << mode;
        platform::fault::clear();
    }

    script([](PalStubState& s) {
        s.holdCategory = kDcpCategoryClock;
        s.held = 0;
    });
    std::pair<std::string, bool> cancelled;
    std::thread sender([&] { cancelled = send(); });
    ASSERT_TRUE(wait_held(1));
    bus->close();
    sender.join();
    EXPECT_EQ(cancelled, (std::pair<std::string, bool>{"Device is not accessible", false}));
    script([](PalStubState& s) { s.holdCategory = 0; });
}

// A close while the unregister itself fails still ends the thread: the wait is cancelled.
TEST_P(StubErrorTest, FailingUnregisterStillEndsTheWait) {
    BusRef bus = open_bus();
    ASSERT_TRUE(wait_parked(1));
    script([](PalStubState& s) { s.unregisterFails = true; });
    bus->close();
    EXPECT_FALSE(bus->alive());
    EXPECT_TRUE(log_.entries().empty());
}

INSTANTIATE_TEST_SUITE_P(Roads, StubErrorTest, ::testing::Values(LibraryRoad::Local, LibraryRoad::Socket),
                         LibraryRoadName);

}  // namespace
