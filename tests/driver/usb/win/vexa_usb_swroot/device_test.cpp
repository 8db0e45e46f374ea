// The dispatcher with a device present (a scripted stand-in): forwarded
// commands, the device kind, the settings block and device identities, the
// setters, and ASIO connections with the client limit.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/kernel/fault.h"
#include "platform/kernel/pool.h"
#include "platform/machine/event_log.h"
#include "source/driver/usb/win/kernel_common/messages.h"
#include "support/root_machine.h"

namespace {

using namespace vexa::pal;
using namespace vexa::test;

constexpr ULONG kObjectTag = 0x774E434B;

class DeviceTest : public ::testing::Test {
protected:
    DeviceTest() : root_(VEXA_TEST_DRIVER_DIR) {
        device_ = root_.plug(&script_);
        pal_ = OpenPal();
    }
    ~DeviceTest() override { CloseHandle(pal_); }

    BusSettingsBlock settings() {
        std::vector<uint8_t> reply;
        EXPECT_EQ(Bus(pal_, kDcpBusGetSettings, &reply, 96).status, STATUS_SUCCESS);
        BusSettingsBlock block;
        std::memcpy(&block, reply.data() + 8, sizeof(block));
        return block;
    }

    ClientCounts counts() {
        std::vector<uint8_t> reply;
        EXPECT_EQ(Bus(pal_, kDcpBusGetClientCounts, &reply, 16).status, STATUS_SUCCESS);
        return ClientCounts{U32(reply, 8), U32(reply, 12)};
    }

    // Declared before the machine: plugged devices use them until the machine goes.
    FakeDeviceScript script_;
    FakeDeviceScript secondScript_;
    FakeDeviceScript thirdScript_;
    RootMachine root_;
    void* device_;
    HANDLE pal_;
};

// A forwarded command gets its data (copied before the reply overwrites it) and the clamped capacity; result 0 returns the reply.
TEST_F(DeviceTest, ForwardedCommandCarriesDataAndReply) {
    script_.reply = {0xA1, 0xA2, 0xA3};
    std::vector<uint8_t> reply;
    std::vector<uint8_t> data = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    Sent sent = Dcp(pal_, 6, 4, &reply, data, 8 + 5);
    EXPECT_EQ(sent.status, STATUS_SUCCESS);
    EXPECT_EQ(sent.bytes, 13u);
    EXPECT_EQ(script_.category, 6);
    EXPECT_EQ(script_.command, 4);
    EXPECT_EQ(script_.data, data);
    EXPECT_EQ(script_.capacity, 5u);
    EXPECT_EQ(U32(reply, 0), 0u);
    EXPECT_EQ(U32(reply, 4), 3u);
    EXPECT_EQ(std::vector<uint8_t>(reply.begin() + 8, reply.begin() + 11), script_.reply);

    // An output shorter than the reply header leaves no room for data, never a negative capacity.
    Dcp(pal_, 1, 2, &reply, {}, 4);
    EXPECT_EQ(script_.capacity, 0u);
    EXPECT_TRUE(script_.data.empty());
}

// Any nonzero DCP result fails the request with no data.
TEST_F(DeviceTest, NonzeroResultDeliversNothing) {
    for (uint32_t result : {1u, 11u, 12u, 0x42u}) {
        script_.result = result;
        script_.reply = {9, 9, 9, 9};
        std::vector<uint8_t> reply;
        Sent sent = Dcp(pal_, 2, 1, &reply, {}, 16);
        EXPECT_EQ(sent.status, STATUS_UNSUCCESSFUL) << result;
        EXPECT_EQ(sent.bytes, 0u);
        EXPECT_EQ(U32(reply, 0), 1u) << "the preset status stays";
    }
}

// A forwarded command goes to the device its target names: 0 the current one, a listed
// identity that device, anything else (a departed device's identity included) no device at all.
TEST_F(DeviceTest, ForwardedCommandGoesToItsTarget) {
    root_.plug(&secondScript_);
    BusSettingsBlock block = settings();
    ASSERT_EQ(block.deviceCount, 2u);
    auto send = [&](uint64_t target, std::vector<uint8_t>* reply) {
        std::vector<uint8_t> request(sizeof(DcpRequest) + 4, 0);
        DcpRequest header{target, 2, 7, 0};
        std::memcpy(request.data(), &header, sizeof(header));
        reply->assign(16, 0xEE);
        return Send(pal_, kIoctlDcpCommand, request.data(), static_cast<DWORD>(request.size()), reply->data(), 16);
    };
    script_.reply = {0x11};
    secondScript_.reply = {0x22};
    unsigned first = script_.commands;
    unsigned second = secondScript_.commands;
    std::vector<uint8_t> reply;
    EXPECT_EQ(send(block.deviceIds[1], &reply).status, STATUS_SUCCESS);
    EXPECT_EQ(reply[8], 0x22);
    EXPECT_EQ(secondScript_.commands, second + 1);
    EXPECT_EQ(script_.commands, first) << "the current device was not asked";

    EXPECT_EQ(send(block.deviceIds[0], &reply).status, STATUS_SUCCESS);
    EXPECT_EQ(reply[8], 0x11);
    EXPECT_EQ(send(0, &reply).status, STATUS_SUCCESS);
    EXPECT_EQ(reply[8], 0x11) << "target 0 is the current device";
    EXPECT_EQ(script_.commands, first + 2);

    uint64_t departed = block.deviceIds[0];
    root_.unplug(device_);
    second = secondScript_.commands;  // promotion to current sends it commands of its own
    for (uint64_t target : {departed, block.deviceIds[1] + 100, ~uint64_t{0}}) {
        EXPECT_EQ(send(target, &reply).status, STATUS_DEVICE_NOT_CONNECTED) << target;
        EXPECT_EQ(reply[0], 0xEE) << "a refusal delivers no data";
    }
    EXPECT_EQ(send(block.deviceIds[1], &reply).status, STATUS_SUCCESS) << "the second device is still listed";
    EXPECT_EQ(reply[8], 0x22);
    EXPECT_EQ(send(0, &reply).status, STATUS_SUCCESS);
    EXPECT_EQ(reply[8], 0x22) << "and now the current one";
    EXPECT_EQ(secondScript_.commands, second + 2);
    EXPECT_EQ(script_.commands, first + 2);
}

// The device kind comes from the current device, at offset 4.
TEST_F(DeviceTest, DeviceKindIsTheCurrentDevices) {
    uint8_t out[8] = {};
    Sent sent = Send(pal_, kIoctlGetDeviceKind, nullptr, 0, out, sizeof(out));
    EXPECT_EQ(sent.status, STATUS_SUCCESS);
    EXPECT_EQ(U32(std::vector<uint8_t>(out, out + 8), 4), 0x400u);
    EXPECT_EQ(Send(pal_, kIoctlGetDeviceKind, nullptr, 0, out, 7).status, STATUS_INVALID_PARAMETER);
}

// The settings describe the current device; identities are nonzero, never addresses, never reused.
TEST_F(DeviceTest, SettingsAndDeviceIdentities) {
    BusSettingsBlock block = settings();
    EXPECT_EQ(block.sampleRate, 48000u);
    EXPECT_EQ(block.clockSource, 24u);
    EXPECT_EQ(block.operationMode, 2u);
    EXPECT_EQ(block.bufferSize, 512u);
    EXPECT_EQ(block.minBufferSize, 48u);
    EXPECT_EQ(block.maxBufferSize, 2048u);
    EXPECT_EQ(block.outputChannels, 8u);
    EXPECT_EQ(block.inputChannels, 6u);
    EXPECT_EQ(block.deviceCount, 1u);
    ULONG64 first = block.currentDeviceId;
    EXPECT_NE(first, 0u);
    EXPECT_EQ(block.deviceIds[0], first);
    EXPECT_NE(first, reinterpret_cast<ULONG64>(device_));

    root_.plug(&secondScript_);
    root_.unplug(device_);
    block = settings();
    EXPECT_EQ(block.deviceCount, 1u);
    ULONG64 second = block.currentDeviceId;
    EXPECT_NE(second, first) << "the next device became current";
    root_.plug(&thirdScript_);
    block = settings();
    EXPECT_EQ(block.deviceCount, 2u);
    EXPECT_EQ(block.currentDeviceId, second);
    EXPECT_NE(block.deviceIds[1], first) << "an arrival never takes a departed device's identity";
    EXPECT_NE(block.deviceIds[1], second);
}

// Rate changes go to the device and carry the base buffer size into the new band; each setter notifies.
TEST_F(DeviceTest, SettersChangeTheBusAndNotify) {
    ASSERT_EQ(Bus(pal_, kDcpBusRegisterClient).status, STATUS_SUCCESS);
    EXPECT_EQ(Bus(pal_, kDcpBusSetSampleRate, nullptr, 8, U32Data(96000)).status, STATUS_SUCCESS);
    EXPECT_EQ(script_.lastRate, 96000u);
    EXPECT_EQ(script_.lastClock, 24u);
    BusSettingsBlock block = settings();
    EXPECT_EQ(block.sampleRate, 96000u);
    EXPECT_EQ(block.bufferSize, 1024u);
    EXPECT_EQ(block.minBufferSize, 96u);

    EXPECT_EQ(Bus(pal_, kDcpBusSetBufferSize, nullptr, 8, U32Data(256)).status, STATUS_SUCCESS);
    EXPECT_EQ(settings().bufferSize, 256u);
    // Out of range at 96 kHz: the size stays, the command still succeeds, the event log says why.
    EXPECT_EQ(Bus(pal_, kDcpBusSetBufferSize, nullptr, 8, U32Data(40)).status, STATUS_SUCCESS);
    EXPECT_EQ(settings().bufferSize, 256u);
    auto entries = root_.machine().event_log().entries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().errorCode, MSG_ASIO_BUFFER_SIZE_OUT_OF_RANGE);

    EXPECT_EQ(Bus(pal_, kDcpBusSetClockSource, nullptr, 8, U32Data(0x10005)).status, STATUS_SUCCESS);
    EXPECT_EQ(script_.lastClock, 5u) << "only the low 16 bits are a clock id";
    EXPECT_EQ(Bus(pal_, kDcpBusSetOperationMode, nullptr, 8, U32Data(3)).status, STATUS_SUCCESS);
    EXPECT_EQ(settings().operationMode, 3u);

    // Every setter told the registered client the bus changed.
    unsigned changes = 0;
    for (;;) {
        Wait wait(pal_);
        if (wait.pending()) break;
        EXPECT_EQ(wait.record.kind, kPalNotifyBusChanged);
        ++changes;
    }
    EXPECT_GE(changes, 5u);
}

// Each "\ASIO" open with a device present gets an audio client, five at most.
TEST_F(DeviceTest, AsioOpensAreLimitedToFiveClients) {
    std::vector<HANDLE> handles;
    for (int i = 0; i < 6; ++i) handles.push_back(OpenRoot(u"\\ASIO"));
    EXPECT_EQ(counts().asioClients, 5u);
    EXPECT_EQ(counts().kernelClients, 0u);
    vexa::asio::AsioRequest request{};
    // A handle with a client is not refused as the sixth is: it answers for its connection (not open yet).
    EXPECT_EQ(Send(handles[0], vexa::asio::kIoctlAsioStart, &request, 16, &request, 16).status, STATUS_SUCCESS);
    EXPECT_EQ(request.result, vexa::asio::ASE_InvalidParameter);
    request.result = 0;
    EXPECT_EQ(Send(handles[5], vexa::asio::kIoctlAsioStart, &request, 16, &request, 16).status, STATUS_SUCCESS);
    EXPECT_EQ(request.result, vexa::asio::ASE_NotPresent);
    CloseHandle(handles[1]);
    EXPECT_EQ(counts().asioClients, 4u);
    HANDLE again = OpenRoot(u"\\asio");
    EXPECT_EQ(counts().asioClients, 5u);
    for (HANDLE h : handles) CloseHandle(h);
    CloseHandle(again);
    EXPECT_EQ(counts().asioClients, 0u);
}

// Opens racing from many processes (of both bitnesses) never exceed the limit, and leave nothing behind.
TEST_F(DeviceTest, ConcurrentAsioOpensRespectTheLimit) {
    auto before = platform::pool::outstanding_bytes(kObjectTag);
    constexpr int kProcesses = 12;
    std::vector<std::shared_ptr<platform::win32::UserProcess>> processes;
    for (int i = 0; i < kProcesses; ++i) processes.push_back(platform::win32::create_local_process(i % 2 == 1));
    std::vector<HANDLE> handles(kProcesses);
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kProcesses; ++i) {
        threads.emplace_back([&, i] {
            platform::win32::ScopedProcess as(processes[i]);
            ready.fetch_add(1);
            while (ready.load() < kProcesses) std::this_thread::yield();
            handles[i] = OpenRoot(u"\\ASIO");
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(counts().asioClients, 5u);
    // Ending the processes closes their handles: every client is removed, uncounted and freed.
    processes.clear();
    EXPECT_EQ(counts().asioClients, 0u);
    EXPECT_EQ(platform::pool::outstanding_bytes(kObjectTag), before);
}

// A client the factory cannot allocate leaves the handle open, without a client, and uncounted.
TEST_F(DeviceTest, AsioClientAllocationFailureIsUncounted) {
    platform::wait_for_pnp_idle();  // the device's children are built by then: the fault is the client's
    platform::fault::inject("ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES);
    HANDLE asio = OpenRoot(u"\\ASIO");
    EXPECT_NE(asio, INVALID_HANDLE_VALUE);
    EXPECT_EQ(counts().asioClients, 0u);
    CloseHandle(asio);
}

}  // namespace
