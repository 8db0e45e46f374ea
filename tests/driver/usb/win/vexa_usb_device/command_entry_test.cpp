#include <gtest/gtest.h>

#include "platform/kernel/fault.h"
#include "source/driver/usb/win/kernel_common/messages.h"
#include "support/fake_root.h"
#include "support/rule_recorder.h"
#include "support/usb_driver_fixture.h"

namespace {

using vexa::test::FakeRoot;

class CommandEntryTest : public vexa::test::UsbDriverTest {
protected:
    void SetUp() override {
        node_ = plug_minimal();
        ASSERT_EQ(node_->state, platform::NodeState::Started);
        ASSERT_EQ(root_.query(&node_->pdo), STATUS_SUCCESS);
    }
    ULONG command(USHORT command, void* in, ULONG64 inLength) {
        return root_.command(kDcpCategoryUsbDevice, command, in, inLength, nullptr, nullptr);
    }

    platform::DevNode* node_ = nullptr;
    FakeRoot root_;
};

// The version reply needs eight bytes; a short buffer is refused (and logged), never overrun.
TEST_F(CommandEntryTest, InterfaceVersionRespectsTheOutputCapacity) {
    uint8_t reply[12];
    std::memset(reply, 0xEE, sizeof(reply));
    ULONG64 capacity = 7;
    EXPECT_EQ(root_.command(kDcpCategoryUsbDevice, kUsbCmdGetInterfaceVersion, nullptr, 0, reply, &capacity),
              kUsbResultBufferTooSmall);
    EXPECT_EQ(reply[0], 0xEE);
    auto log = events();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].errorCode, MSG_HARDWARE_COMMUNICATION_FAILED);
    EXPECT_EQ(log[0].finalStatus, static_cast<int32_t>(kUsbResultBufferTooSmall));

    capacity = 8;
    EXPECT_EQ(root_.command(kDcpCategoryUsbDevice, kUsbCmdGetInterfaceVersion, nullptr, 0, reply, &capacity),
              kUsbResultOk);
    ULONG words[2];
    std::memcpy(words, reply, sizeof(words));
    EXPECT_EQ(words[0], 0xF002u);
    EXPECT_EQ(words[1], 0xF000u);
    EXPECT_EQ(capacity, 8u);  // the length is not touched
    EXPECT_EQ(reply[8], 0xEE);
}

// The entry runs only at PASSIVE_LEVEL (the vendor channel waits there): a caller at a raised level must be
// reported at the entry, not run on until something deeper happens to wait.
TEST_F(CommandEntryTest, EntryAbovePassiveIsReported) {
    vexa::test::RuleRecorder recorder;
    ULONG reply[2];
    ULONG64 capacity = sizeof(reply);
    {
        platform::DispatchLevelScope dispatch;
        (void)root_.command(kDcpCategoryUsbDevice, kUsbCmdGetInterfaceVersion, nullptr, 0, reply, &capacity);
    }
    auto violations = recorder.violations();
    ASSERT_FALSE(violations.empty());
    EXPECT_NE(violations[0].find("UsbCommandEntry"), std::string::npos) << violations[0];
}

// Unknown and unserved commands fail with one event each, carrying the result as its status.
TEST_F(CommandEntryTest, UnservedCommandsGiveOneAndOneEvent) {
    for (USHORT unserved : {2, 3, 4, 5, 11, 12, 16, 20, 0xFFF}) {
        machine_.event_log().clear();
        EXPECT_EQ(command(unserved, nullptr, 0), kUsbResultFailed) << unserved;
        auto log = events();
        ASSERT_EQ(log.size(), 1u) << unserved;
        EXPECT_EQ(log[0].errorCode, MSG_HARDWARE_COMMUNICATION_FAILED);
        EXPECT_EQ(log[0].finalStatus, 1);
        EXPECT_EQ(log[0].majorFunction, kMajorPnp);
        EXPECT_EQ(log[0].numberOfStrings, 0);
        EXPECT_EQ(log[0].dumpDataSize, 0);
        EXPECT_EQ(log[0].message, "Driver failed while communicating with hardware.");
    }
}

// Every served command insists on its exact input length.
TEST_F(CommandEntryTest, InputLengthsAreExact) {
    uint8_t buffer[256] = {};
    const std::pair<USHORT, ULONG64> rows[] = {
        {kUsbCmdGetStreamFormat, 28}, {kUsbCmdMapStreamState, 136}, {kUsbCmdNop, 8},
        {kUsbCmdGetLatency, 8},       {kUsbCmdSetOperationMode, 4},
    };
    for (auto [cmd, length] : rows) {
        EXPECT_EQ(command(cmd, buffer, length - 1), kUsbResultFailed) << cmd;
        EXPECT_EQ(command(cmd, buffer, length + 1), kUsbResultFailed) << cmd;
        EXPECT_EQ(command(cmd, buffer, length), kUsbResultOk) << cmd;
    }
}

// The StreamState address goes into the first eight bytes and nothing else is written.
TEST_F(CommandEntryTest, MapStreamStateWritesOnlyTheAddress) {
    uint8_t buffer[136];
    std::memset(buffer, 0x5A, sizeof(buffer));
    ASSERT_EQ(command(kUsbCmdMapStreamState, buffer, sizeof(buffer)), kUsbResultOk);
    ULONG64 address;
    std::memcpy(&address, buffer, 8);
    EXPECT_NE(address, 0u);
    for (size_t i = 8; i < sizeof(buffer); ++i) ASSERT_EQ(buffer[i], 0x5A) << i;
}

// Without streaming, a mode change is only stored; the stored format reports it.
TEST_F(CommandEntryTest, OperationModeIsStoredWhileIdle) {
    ULONG mode = 3;
    ASSERT_EQ(command(kUsbCmdSetOperationMode, &mode, sizeof(mode)), kUsbResultOk);
    StreamFormat format{};
    ASSERT_EQ(command(kUsbCmdGetStreamFormat, &format, sizeof(format)), kUsbResultOk);
    EXPECT_EQ(format.operationMode, 3u);
}

// With no error-log entry to be had, the command still completes with its own result.
TEST_F(CommandEntryTest, ExhaustedErrorLogDoesNotChangeTheResult) {
    platform::fault::inject("IoAllocateErrorLogEntry", STATUS_INSUFFICIENT_RESOURCES, 0, 0);
    EXPECT_EQ(command(11, nullptr, 0), kUsbResultFailed);
    EXPECT_TRUE(events().empty());
}

}  // namespace
