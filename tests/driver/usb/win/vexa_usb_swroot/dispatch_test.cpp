// The root driver's dispatcher driven from user mode through the Win32 layer,
// with the real driver image and no device present.
#include <gtest/gtest.h>

#include "platform/kernel/fault.h"
#include "platform/kernel/pool.h"
#include "platform/machine/event_log.h"
#include "source/driver/usb/win/kernel_common/messages.h"
#include "support/root_machine.h"

namespace {

using namespace vexa::pal;
using namespace vexa::test;

constexpr ULONG kObjectTag = 0x774E434B;

class DispatchTest : public ::testing::Test {
protected:
    DispatchTest() : root_(VEXA_DRIVER_DIR) { pal_ = OpenPal(); }
    ~DispatchTest() override { CloseHandle(pal_); }

    RootMachine root_;
    HANDLE pal_;
};

// The file name picks the handle's kind: "\ASIO" in any letter case, "\PAL", nothing else.
TEST_F(DispatchTest, OpensOnlyThePalAndAsioNames) {
    ASSERT_NE(pal_, INVALID_HANDLE_VALUE);
    for (const char16_t* name : {u"\\ASIO", u"\\asio", u"\\aSiO", u"\\PAL", u"\\pal"}) {
        HANDLE handle = OpenRoot(name);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE) << platform::narrow(name);
        CloseHandle(handle);
    }
    for (const char16_t* name : {u"\\OTHER", u"\\ASIOX", u"\\PA", u""}) {
        HANDLE handle = OpenRoot(name);
        EXPECT_EQ(handle, INVALID_HANDLE_VALUE) << platform::narrow(name);
        EXPECT_EQ(GetLastError(), ERROR_INTERNAL_ERROR);
    }
    // The interface path SetupAPI reports for the ASIO class opens an ASIO handle.
    HANDLE asio = CreateFileW(InterfacePath(GUID_DEVINTERFACE_ASIO).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_NE(asio, INVALID_HANDLE_VALUE);
    CloseHandle(asio);
}

// A short output is refused with no data; a long one gets the whole length reported.
TEST_F(DispatchTest, VersionNeedsSixteenBytes) {
    std::vector<uint8_t> out(32, 0xEE);
    Sent sent = Send(pal_, kIoctlGetApiVersion, nullptr, 0, out.data(), 15);
    EXPECT_EQ(sent.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(out[0], 0xEE);
    for (DWORD length : {16u, 32u}) {
        sent = Send(pal_, kIoctlGetApiVersion, nullptr, 0, out.data(), length);
        EXPECT_EQ(sent.status, STATUS_SUCCESS);
        EXPECT_EQ(sent.bytes, length);
        ApiVersionReply reply;
        std::memcpy(&reply, out.data(), sizeof(reply));
        EXPECT_EQ(reply.ioctlAPIVersion, 0x7001u);
        EXPECT_EQ(reply.ioctlMinCompatibleAPIVersion, 0x7001u);
        EXPECT_EQ(reply.driverVersion, 0x804030020000BB7Full);
    }
}

// The settings need a 96-byte output; without a device the block is all zero.
TEST_F(DispatchTest, SettingsWithoutADeviceAreAllZero) {
    std::vector<uint8_t> reply;
    EXPECT_EQ(Bus(pal_, kDcpBusGetSettings, &reply, 95).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(U32(reply, 0), 1u) << "a refusal delivers no data";
    Sent sent = Bus(pal_, kDcpBusGetSettings, &reply, 96);
    EXPECT_EQ(sent.status, STATUS_SUCCESS);
    EXPECT_EQ(sent.bytes, 96u);
    EXPECT_EQ(U32(reply, 0), 0u);
    EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 8, reply.end()), std::vector<uint8_t>(88, 0));
}

// Registration is once per handle; unregistering needs a registration.
TEST_F(DispatchTest, RegistrationIsOncePerHandle) {
    EXPECT_EQ(Bus(pal_, kDcpBusUnregisterClient).status, STATUS_INVALID_DEVICE_REQUEST);
    std::vector<uint8_t> reply;
    EXPECT_EQ(Bus(pal_, kDcpBusRegisterClient, &reply).status, STATUS_SUCCESS);
    EXPECT_EQ(U32(reply, 0), 0u);
    EXPECT_EQ(Bus(pal_, kDcpBusRegisterClient).status, STATUS_INVALID_DEVICE_REQUEST);
    // The first registration survived the second attempt.
    EXPECT_EQ(Bus(pal_, kDcpBusUnregisterClient).status, STATUS_SUCCESS);
    EXPECT_EQ(Bus(pal_, kDcpBusUnregisterClient).status, STATUS_INVALID_DEVICE_REQUEST);
}

// Unknown root commands answer "not implemented"; an NT error carries no reply.
TEST_F(DispatchTest, UnknownRootCommandsAreNotImplemented) {
    for (uint16_t command : {0, 3, 8, 10, 12, 13, 0xFFFF}) {
        std::vector<uint8_t> reply;
        Sent sent = Bus(pal_, command, &reply, 16, U32Data(7));
        EXPECT_EQ(sent.status, STATUS_NOT_IMPLEMENTED) << command;
        EXPECT_EQ(sent.bytes, 0u);
        EXPECT_EQ(U32(reply, 0), 1u);
    }
}

// The USB function driver's own commands and the clock set (6/3) never pass
// from user mode; others need a device.
TEST_F(DispatchTest, UsbDeviceCommandsAndForwardsWithoutADeviceAreRefused) {
    std::vector<uint8_t> reply;
    for (uint16_t command : {0, 6, 9, 17}) {
        EXPECT_EQ(Dcp(pal_, kDcpCategoryUsbDevice, command, &reply, U32Data(1), 64).status, STATUS_ACCESS_DENIED);
        EXPECT_EQ(U32(reply, 0), 1u);
    }
    EXPECT_EQ(Dcp(pal_, kDcpCategoryClock, kDcpClockSet, &reply, std::vector<uint8_t>(8, 0), 64).status,
              STATUS_ACCESS_DENIED);
    EXPECT_EQ(Dcp(pal_, 6, 4, &reply, {}, 64).status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(U32(reply, 0), 1u);
}

// Malformed requests: a DCP header under 16 bytes, a short wait buffer, device kind with no device.
TEST_F(DispatchTest, MalformedRequestsAreRefused) {
    uint8_t small[15] = {};
    uint8_t out[16] = {};
    EXPECT_EQ(Send(pal_, kIoctlDcpCommand, small, sizeof(small), out, 8).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(pal_, kIoctlGetDeviceKind, nullptr, 0, out, 8).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(pal_, kIoctlWaitNotification, nullptr, 0, out, 15).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Send(pal_, kIoctlWaitNotification, nullptr, 0, out, 16).status, STATUS_INVALID_DEVICE_REQUEST)
        << "a handle that never registered has nothing to wait for";
    EXPECT_EQ(Send(pal_, IoctlCode(4), nullptr, 0, out, 16).status, STATUS_NOT_IMPLEMENTED);
}

// Without a device the setters answer success and change nothing: no notification is sent.
TEST_F(DispatchTest, SettersWithoutADeviceDoNothing) {
    ASSERT_EQ(Bus(pal_, kDcpBusRegisterClient).status, STATUS_SUCCESS);
    for (uint16_t command : {kDcpBusSetSampleRate, kDcpBusSetClockSource, kDcpBusSetOperationMode,
                             kDcpBusSetBufferSize}) {
        std::vector<uint8_t> reply;
        EXPECT_EQ(Bus(pal_, command, &reply, 8, U32Data(96000)).status, STATUS_SUCCESS);
        EXPECT_EQ(U32(reply, 0), 0u);
    }
    Wait wait(pal_);
    EXPECT_TRUE(wait.pending());
    std::vector<uint8_t> reply;
    Sent sent = Bus(pal_, kDcpBusGetClientCounts, &reply, 24);
    EXPECT_EQ(sent.status, STATUS_SUCCESS);
    EXPECT_EQ(sent.bytes, 24u);
    EXPECT_EQ(U32(reply, 8), 0u);
    EXPECT_EQ(U32(reply, 12), 0u);
}

// An ASIO handle without an audio client is refused every connection request; lengths are exact.
TEST_F(DispatchTest, AsioHandleWithoutAClientIsRefused) {
    HANDLE asio = OpenRoot(u"\\ASIO");
    vexa::asio::AsioVersionReply version{};
    Sent sent = Send(asio, vexa::asio::kIoctlAsioGetVersion, nullptr, 0, &version, sizeof(version));
    EXPECT_EQ(sent.status, STATUS_SUCCESS);
    EXPECT_EQ(version.interfaceVersion, 0x6017u);
    EXPECT_EQ(version.driverVersion, 0x8432BB7Fu);
    EXPECT_EQ(Send(asio, vexa::asio::kIoctlAsioGetVersion, nullptr, 0, &version, 4).status, STATUS_INVALID_PARAMETER);

    vexa::asio::AsioOpenRequest open{};
    EXPECT_EQ(Send(asio, vexa::asio::kIoctlAsioOpen, &open, sizeof(open), &open, sizeof(open)).status, STATUS_SUCCESS);
    EXPECT_EQ(open.result, vexa::asio::ASE_InvalidParameter);
    vexa::asio::AsioRequest request{0, 0, 48000};
    for (uint32_t code : {vexa::asio::kIoctlAsioStart, vexa::asio::kIoctlAsioClose, vexa::asio::kIoctlAsioSetSampleRate}) {
        request.result = 0;
        EXPECT_EQ(Send(asio, code, &request, sizeof(request), &request, sizeof(request)).status, STATUS_SUCCESS);
        EXPECT_EQ(request.result, vexa::asio::ASE_NotPresent);
    }
    EXPECT_EQ(Send(asio, 0x22234C, &request, sizeof(request), &request, sizeof(request)).status, STATUS_NOT_IMPLEMENTED);
    CloseHandle(asio);
}

// Every object the driver allocated is back in the pool once the device is gone.
TEST(RootLifetimeTest, ObjectsAreFreedWithTheDevice) {
    auto before = platform::pool::outstanding_bytes(kObjectTag);
    {
        RootMachine root(VEXA_DRIVER_DIR);
        HANDLE pal = OpenPal();
        ASSERT_EQ(Bus(pal, kDcpBusRegisterClient).status, STATUS_SUCCESS);
        Wait wait(pal);  // still pending when the process ends
        EXPECT_GT(platform::pool::outstanding_bytes(kObjectTag), before);
    }
    EXPECT_EQ(platform::pool::outstanding_bytes(kObjectTag), before);
}

// A failing device add writes its event-log entry and leaves nothing allocated.
TEST(RootLifetimeTest, FailedDeviceAddIsLoggedAndCleanedUp) {
    auto before = platform::pool::outstanding_bytes(kObjectTag);
    platform::Machine machine;
    platform::fault::inject("WdfDeviceCreateDeviceInterface", STATUS_INSUFFICIENT_RESOURCES, 1);
    platform::DevNode* node = vexa::machine::boot_standard_machine(machine, VEXA_DRIVER_DIR);
    EXPECT_EQ(node->state, platform::NodeState::Failed);
    EXPECT_EQ(node->lastStatus, STATUS_INSUFFICIENT_RESOURCES);
    auto entries = machine.event_log().entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].errorCode, MSG_CREATE_DEVICE_INTERFACE_FAILED);
    EXPECT_EQ(entries[0].finalStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(entries[0].majorFunction, kMajorPnp);
    EXPECT_EQ(platform::pool::outstanding_bytes(kObjectTag), before);
}

// Whichever of the three objects cannot be allocated, the device add stops there and frees the others.
TEST(RootLifetimeTest, DeviceAddDoesNotGoOnWithoutItsObjects) {
    for (unsigned skip : {0u, 1u, 2u}) {
        auto before = platform::pool::outstanding_bytes(kObjectTag);
        platform::Machine machine;
        platform::fault::inject("ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES, skip);
        platform::DevNode* node = vexa::machine::boot_standard_machine(machine, VEXA_DRIVER_DIR);
        EXPECT_EQ(node->state, platform::NodeState::Failed) << skip;
        EXPECT_EQ(node->lastStatus, STATUS_INSUFFICIENT_RESOURCES);
        auto entries = machine.event_log().entries();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(static_cast<NTSTATUS>(entries[0].errorCode), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(platform::pool::outstanding_bytes(kObjectTag), before);
    }
}

// A driver that cannot create its framework object logs the failed driver entry.
TEST(RootLifetimeTest, FailedDriverEntryIsLogged) {
    platform::Machine machine;
    platform::fault::inject("WdfDriverCreate", STATUS_INSUFFICIENT_RESOURCES);
    platform::DevNode* node = vexa::machine::boot_standard_machine(machine, VEXA_DRIVER_DIR);
    EXPECT_EQ(node->state, platform::NodeState::Failed);
    auto entries = machine.event_log().entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(static_cast<NTSTATUS>(entries[0].errorCode), STATUS_FAILED_DRIVER_ENTRY);
    EXPECT_EQ(entries[0].finalStatus, STATUS_INSUFFICIENT_RESOURCES);
}

}  // namespace
