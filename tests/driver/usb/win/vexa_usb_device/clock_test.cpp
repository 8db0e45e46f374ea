#include <gtest/gtest.h>

#include "source/driver/usb/win/kernel_common/messages.h"
#include "support/stream_fixture.h"

namespace {

namespace dev = platform::device;
using dev::VexaModel;

class ClockTest : public vexa::test::StreamTest {
protected:
    ULONG clock(USHORT command, std::vector<uint8_t>* reply, ULONG64 capacity, std::vector<uint8_t> in = {}) {
        std::vector<uint8_t> out(std::max<ULONG64>(capacity, 1) + 8, 0xEE);
        ULONG64 length = capacity;
        ULONG result = root_.command(kDcpCategoryClock, command, in.empty() ? nullptr : in.data(), in.size(),
                                     out.data(), &length);
        if (reply != nullptr) *reply = std::vector<uint8_t>(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(capacity + 8));
        lastLength_ = length;
        return result;
    }
    ULONG64 lastLength_ = 0;
};

uint16_t U16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

// The clock sources in descriptor order, each with its name string; the selector's pin chooses the current one.
TEST_F(ClockTest, SourcesAndTheSelectorPin) {
    plug_vexa(VexaModel::CantileQe, {}, [](dev::VexaInterface& d) { d.clock().set_selector_pin(2); });
    ASSERT_EQ(node_->state, platform::NodeState::Started);
    std::vector<uint8_t> reply;
    ASSERT_EQ(clock(kDcpClockListSources, &reply, 64), kUsbResultOk);
    EXPECT_EQ(lastLength_, 8u);
    EXPECT_EQ(U16(reply, 0), dev::kInternalClockId);
    EXPECT_EQ(U16(reply, 2), dev::kInternalClockString);
    EXPECT_EQ(U16(reply, 4), dev::kExternalClockId);
    EXPECT_EQ(U16(reply, 6), dev::kExternalClockString);
    ASSERT_EQ(clock(kDcpClockGet, &reply, 8), kUsbResultOk);
    EXPECT_EQ(U32(reply, 0), 48000u);
    EXPECT_EQ(U16(reply, 4), dev::kExternalClockId);  // pin 2: the second source
    EXPECT_EQ(U16(reply, 6), 0xEEEEu);                // bytes 6 and 7 are not written
}

// Only discrete rates count: the first true range ends the list.
TEST_F(ClockTest, DiscreteRatesOnly) {
    plug_vexa(VexaModel::CantileQe, {}, [](dev::VexaInterface& d) {
        d.clock().set_reported_ranges({{44100, 44100, 0}, {48000, 48000, 0}, {88200, 96000, 7800}});
    });
    std::vector<uint8_t> reply;
    ASSERT_EQ(clock(kDcpClockListRates, &reply, 64), kUsbResultOk);
    EXPECT_EQ(lastLength_, 8u);
    EXPECT_EQ(U32(reply, 0), 44100u);
    EXPECT_EQ(U32(reply, 4), 48000u);
}

// Without a clock selector the device cannot say which clock runs it: it does not start.
TEST_F(ClockTest, NoSelectorFailsTheStart) {
    dev::VexaVariant variant;
    variant.clockSelector = false;
    plug_vexa(VexaModel::CantileQk, variant);
    EXPECT_EQ(node_->state, platform::NodeState::Failed);
    EXPECT_EQ(node_->lastStatus, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(leaked_bytes(), 0);
}

// The replies never run past the caller's capacity: too small answers 8.
TEST_F(ClockTest, RepliesRespectTheCapacity) {
    plug_vexa();
    std::vector<uint8_t> reply;
    for (auto [command, tooSmall] : {std::pair{kDcpClockListSources, 7u}, std::pair{kDcpClockListRates, 23u},
                                     std::pair{kDcpClockGet, 5u}}) {
        machine_.event_log().clear();
        EXPECT_EQ(clock(command, &reply, tooSmall), kUsbResultBufferTooSmall) << command;
        for (size_t i = 0; i < reply.size(); ++i) ASSERT_EQ(reply[i], 0xEE) << command << " byte " << i;
        EXPECT_EQ(events().size(), 1u);
    }
}

// Seventeen sources: sixteen are kept and listed, then the list fails on the seventeenth.
TEST_F(ClockTest, MoreSourcesThanTheTableHolds) {
    dev::VexaVariant variant;
    variant.extraClockSources = 15;
    plug_vexa(VexaModel::CantileQe, variant);
    ASSERT_EQ(node_->state, platform::NodeState::Started);
    std::vector<uint8_t> reply;
    EXPECT_EQ(clock(kDcpClockListSources, &reply, 64), kUsbResultBufferTooSmall);
    EXPECT_EQ(clock(kDcpClockListSources, &reply, 68), kUsbResultFailed);
    EXPECT_EQ(U16(reply, 60), 0x40 + 13);  // the sixteenth source was written
}

// A set checks its input (the rate and the clock id are enough; a byte less is
// refused), and a rate the device refuses leaves everything as it was, with one event.
TEST_F(ClockTest, SetChecksInputAndRefusals) {
    plug_vexa();
    uint8_t withoutReserved[6] = {0x00, 0x77, 0x01, 0x00, dev::kInternalClockId, 0};
    ASSERT_EQ(root_.command(kDcpCategoryClock, kDcpClockSet, withoutReserved, sizeof(withoutReserved), nullptr, nullptr),
              kUsbResultOk);
    EXPECT_EQ(device_->clock().rate(), 96000u);
    uint8_t shortInput[5] = {0x80, 0xBB, 0, 0, dev::kInternalClockId};
    EXPECT_EQ(root_.command(kDcpCategoryClock, kDcpClockSet, shortInput, sizeof(shortInput), nullptr, nullptr),
              kUsbResultFailed);
    EXPECT_EQ(device_->clock().rate(), 96000u);
    machine_.event_log().clear();
    EXPECT_EQ(set_rate(12345), kUsbResultFailed);
    auto log = events();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].errorCode, MSG_HARDWARE_COMMUNICATION_FAILED);
    EXPECT_EQ(log[0].finalStatus, 1);
    EXPECT_EQ(device_->clock().rate(), 96000u);
    StreamFormat format{};
    ASSERT_EQ(driver(kUsbCmdGetStreamFormat, &format, sizeof(format)), kUsbResultOk);
    EXPECT_EQ(format.sampleRate, 96000u);
}

// A clock the device does not list is refused before the device hears of
// it; an id above 0xFF is no source, even when its low byte names one.
TEST_F(ClockTest, SetRefusesClocksTheDeviceDoesNotList) {
    plug_vexa();
    ASSERT_EQ(set_rate(48000), kUsbResultOk);
    for (USHORT id : {USHORT(0x100 | dev::kInternalClockId), USHORT(0xFF00 | dev::kExternalClockId), USHORT(0x77),
                      USHORT(0)}) {
        machine_.event_log().clear();
        EXPECT_EQ(set_rate(96000, id), kUsbResultFailed) << std::hex << id;
        EXPECT_EQ(device_->clock().rate(), 48000u) << std::hex << id;
        EXPECT_EQ(events().size(), 1u) << std::hex << id;
        StreamFormat format{};
        ASSERT_EQ(driver(kUsbCmdGetStreamFormat, &format, sizeof(format)), kUsbResultOk);
        EXPECT_EQ(format.sampleRate, 48000u) << std::hex << id;
    }
    EXPECT_EQ(set_rate(96000, dev::kExternalClockId), kUsbResultOk) << "a listed source is taken";
    EXPECT_EQ(device_->clock().rate(), 96000u);
}

}  // namespace
