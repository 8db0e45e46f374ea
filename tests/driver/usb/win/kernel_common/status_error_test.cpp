// The drivers' failure idiom: a status raised inside an operation reaches its
// boundary with its event-log message, and scoped pool blocks are released on
// the way.
#include <gtest/gtest.h>

#include "platform/kernel/pool.h"
#include "platform/machine/machine.h"
#include "source/driver/usb/win/kernel_common/messages.h"
#include "source/driver/usb/win/kernel_common/pool_memory.h"
#include "source/driver/usb/win/kernel_common/status_error.h"

namespace {

constexpr ULONG kTestTag = 0x54535445;

// A boundary that lost the raised status, reported success for a raise, or dropped the message would
// complete an operation with the wrong result or write the wrong event.
TEST(StatusErrorTest, BoundaryReturnsWhatWasRaised) {
    struct Case {
        NTSTATUS raised;
        ULONG message;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, kNoEventMessage, STATUS_SUCCESS},  // nothing raised
        {STATUS_INSUFFICIENT_RESOURCES, kNoEventMessage, STATUS_INSUFFICIENT_RESOURCES},
        {STATUS_INVALID_PARAMETER, MSG_CREATE_QUEUE_FAILED, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        ULONG message = 0xFFFFFFFF;
        NTSTATUS status = CatchStatus([&] { RaiseIfFailed(c.raised, c.message); }, &message);
        EXPECT_EQ(status, c.expected);
        EXPECT_EQ(message, NT_SUCCESS(c.raised) ? 0xFFFFFFFF : c.message) << std::hex << c.raised;
    }
}

// A scoped block that a raise skipped over would leak; one of 0 bytes must not allocate at all.
TEST(StatusErrorTest, PoolBufferIsFreedWhenARaiseCrossesIt) {
    platform::Machine machine;
    int64_t before = platform::pool::outstanding_bytes(kTestTag);
    NTSTATUS status = CatchStatus([] {
        PoolBuffer buffer(NonPagedPoolNx, 64, kTestTag);
        ASSERT_TRUE(buffer);
        EXPECT_EQ(platform::pool::outstanding_bytes(kTestTag), 64);
        RaiseStatus(STATUS_DEVICE_NOT_READY);
    });
    EXPECT_EQ(status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(platform::pool::outstanding_bytes(kTestTag), before);

    PoolBuffer empty(NonPagedPoolNx, 0, kTestTag);
    EXPECT_FALSE(empty);
    EXPECT_EQ(platform::pool::outstanding_bytes(kTestTag), before);
}

}  // namespace
