// PAL clients and notifications: waits, the backlog, the client limit,
// cancellation, and a notification racing a wait.
#include <gtest/gtest.h>

#include <condition_variable>
#include <memory>
#include <thread>

#include "platform/kernel/fault.h"
#include "support/root_machine.h"

namespace {

using namespace vexa::pal;
using namespace vexa::test;

class PalNotificationTest : public ::testing::Test {
protected:
    PalNotificationTest() : root_(VEXA_TEST_DRIVER_DIR) {}

    HANDLE registered() {
        HANDLE pal = OpenPal();
        EXPECT_EQ(Bus(pal, kDcpBusRegisterClient).status, STATUS_SUCCESS);
        return pal;
    }

    RootMachine root_;
};

// A wait stays pending until a notification completes it with the record.
TEST_F(PalNotificationTest, WaitPendsUntilANotification) {
    HANDLE pal = registered();
    Wait wait(pal);
    EXPECT_EQ(wait.startError, ERROR_IO_PENDING);
    EXPECT_TRUE(wait.pending());
    EXPECT_EQ(root_.notify(kPalNotifyDeviceEvent, 0x1234, 0x80), STATUS_SUCCESS);
    EXPECT_EQ(wait.finish(), STATUS_SUCCESS);
    EXPECT_EQ(wait.overlapped.InternalHigh, 16u);
    EXPECT_EQ(wait.record.kind, kPalNotifyDeviceEvent);
    EXPECT_EQ(wait.record.param32, 0x80u);
    EXPECT_EQ(wait.record.param64, 0x1234u);
    CloseHandle(pal);
}

// Records that find no wait are kept and handed out at once, oldest first; then the next wait pends.
TEST_F(PalNotificationTest, BacklogDeliversInOrder) {
    HANDLE pal = registered();
    for (ULONG64 n = 1; n <= 3; ++n) root_.notify(kPalNotifyBusChanged, n);
    for (ULONG64 n = 1; n <= 3; ++n) {
        Wait wait(pal);
        EXPECT_EQ(wait.startError, ERROR_SUCCESS) << "completed at once";
        EXPECT_EQ(wait.record.param64, n);
    }
    Wait fourth(pal);
    EXPECT_TRUE(fourth.pending());
    CloseHandle(pal);
}

// The backlog keeps the newest 32 records: older ones are dropped, none is handed out twice.
TEST_F(PalNotificationTest, FullBacklogDropsTheOldest) {
    HANDLE pal = registered();
    constexpr ULONG64 kSent = 40;
    for (ULONG64 n = 1; n <= kSent; ++n) root_.notify(kPalNotifyBusChanged, n);
    for (ULONG64 n = kSent - 32 + 1; n <= kSent; ++n) {
        Wait wait(pal);
        ASSERT_EQ(wait.startError, ERROR_SUCCESS);
        EXPECT_EQ(wait.record.param64, n);
    }
    Wait next(pal);
    EXPECT_TRUE(next.pending());
    CloseHandle(pal);
}

// A wait with a larger output still receives the 16-byte record.
TEST_F(PalNotificationTest, LargerOutputsReceiveTheRecord) {
    HANDLE pal = registered();
    uint8_t out[32] = {};
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DeviceIoControl(pal, kIoctlWaitNotification, nullptr, 0, out, sizeof(out), nullptr, &overlapped);
    root_.notify(kPalNotifyDeviceArrival, 7);
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(pal, &overlapped, &bytes, TRUE));
    EXPECT_EQ(bytes, 16u);
    EXPECT_EQ(U32(std::vector<uint8_t>(out, out + 16), 0), kPalNotifyDeviceArrival);
    CloseHandle(overlapped.hEvent);
    CloseHandle(pal);
}

// Two clients waiting both get the one notification.
TEST_F(PalNotificationTest, OneNotificationReachesEveryClient) {
    HANDLE a = registered();
    HANDLE b = registered();
    Wait waitA(a);
    Wait waitB(b);
    root_.notify(kPalNotifyBusChanged, 9);
    EXPECT_EQ(waitA.finish(), STATUS_SUCCESS);
    EXPECT_EQ(waitB.finish(), STATUS_SUCCESS);
    EXPECT_EQ(waitA.record.param64, 9u);
    EXPECT_EQ(waitB.record.param64, 9u);
    CloseHandle(a);
    CloseHandle(b);
}

// Five clients at most: a sixth is refused outright, so its waits never hang; a freed slot takes it.
TEST_F(PalNotificationTest, SixthClientIsRefused) {
    std::vector<HANDLE> clients;
    for (int i = 0; i < 5; ++i) clients.push_back(registered());
    HANDLE sixth = OpenPal();
    EXPECT_EQ(Bus(sixth, kDcpBusRegisterClient).status, STATUS_INSUFFICIENT_RESOURCES);
    uint8_t out[16];
    EXPECT_EQ(Send(sixth, kIoctlWaitNotification, nullptr, 0, out, sizeof(out)).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Bus(sixth, kDcpBusUnregisterClient).status, STATUS_INVALID_DEVICE_REQUEST) << "nothing was stored";
    EXPECT_EQ(Bus(clients[2], kDcpBusUnregisterClient).status, STATUS_SUCCESS);
    EXPECT_EQ(Bus(sixth, kDcpBusRegisterClient).status, STATUS_SUCCESS);
    for (HANDLE h : clients) CloseHandle(h);
    CloseHandle(sixth);
}

// Unregistering cancels the handle's waits and reports success; closing a handle does the same.
TEST_F(PalNotificationTest, UnregisterAndCloseCancelWaits) {
    HANDLE pal = registered();
    auto first = std::make_unique<Wait>(pal);
    auto second = std::make_unique<Wait>(pal);
    std::vector<uint8_t> reply;
    EXPECT_EQ(Bus(pal, kDcpBusUnregisterClient, &reply).status, STATUS_SUCCESS);
    EXPECT_EQ(U32(reply, 0), 0u);
    EXPECT_EQ(first->finish(), STATUS_CANCELLED);
    EXPECT_EQ(second->finish(), STATUS_CANCELLED);

    HANDLE other = registered();
    HANDLE closing = registered();
    auto pending = std::make_unique<Wait>(closing);
    CloseHandle(closing);
    EXPECT_EQ(pending->finish(), STATUS_CANCELLED);
    // The other client is untouched and still served.
    Wait wait(other);
    root_.notify(kPalNotifyBusChanged, 5);
    EXPECT_EQ(wait.finish(), STATUS_SUCCESS);
    CloseHandle(other);
    CloseHandle(pal);
}

// Notifications racing the wait path: every record arrives exactly once, in order, and none is left behind.
TEST_F(PalNotificationTest, NotifyRacingWaitsLosesNothing) {
    HANDLE pal = registered();
    constexpr ULONG64 kRecords = 600;
    constexpr ULONG64 kBurst = 16;  // below the backlog's 32, so nothing is dropped by design
    std::mutex lock;
    std::condition_variable progress;
    ULONG64 received = 0;
    std::vector<ULONG64> order;
    std::thread waiter([&] {
        while (received < kRecords) {
            Wait wait(pal);
            ASSERT_EQ(wait.finish(), STATUS_SUCCESS);
            std::lock_guard guard(lock);
            order.push_back(wait.record.param64);
            ++received;
            progress.notify_all();
        }
    });
    for (ULONG64 n = 1; n <= kRecords; ++n) {
        root_.notify(kPalNotifyBusChanged, n);
        if (n % kBurst == 0) {
            std::unique_lock guard(lock);
            progress.wait(guard, [&] { return received + kBurst >= n; });
        }
    }
    waiter.join();
    ASSERT_EQ(order.size(), kRecords);
    for (ULONG64 n = 0; n < kRecords; ++n) ASSERT_EQ(order[n], n + 1);
    Wait after(pal);
    EXPECT_TRUE(after.pending()) << "no record was stranded or duplicated";
    CloseHandle(pal);
}

// A wait request that cannot be parked completes with the forwarding status.
TEST_F(PalNotificationTest, FailedForwardCompletesTheWait) {
    HANDLE pal = registered();
    platform::fault::inject("WdfRequestForwardToIoQueue", STATUS_INSUFFICIENT_RESOURCES);
    uint8_t out[16];
    EXPECT_EQ(Send(pal, kIoctlWaitNotification, nullptr, 0, out, sizeof(out)).status, STATUS_INSUFFICIENT_RESOURCES);
    Wait wait(pal);
    EXPECT_TRUE(wait.pending());
    CloseHandle(pal);
}

// A client whose object cannot be allocated is not registered.
TEST_F(PalNotificationTest, AllocationFailureRegistersNothing) {
    HANDLE pal = OpenPal();
    platform::fault::inject("ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Bus(pal, kDcpBusRegisterClient).status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Bus(pal, kDcpBusUnregisterClient).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Bus(pal, kDcpBusRegisterClient).status, STATUS_SUCCESS);
    CloseHandle(pal);
}

}  // namespace
