#include <gtest/gtest.h>

#include <thread>

#include "platform/kernel/fault.h"
#include "platform/kernel/clock.h"
#include "source/driver/usb/win/kernel_common/messages.h"
#include "support/vexa_fixture.h"

namespace {

using platform::device::VendorCapabilities;
using platform::device::VendorFaults;
using platform::device::VexaModel;

class VendorChannelTest : public vexa::test::VexaTest {};

uint32_t U32(const std::vector<uint8_t>& bytes, size_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, bytes.data() + offset, 4);
    return value;
}

// Both models come up, open their channel and answer the firmware's identity block.
TEST_F(VendorChannelTest, BothModelsPrepareAndExchangeCommands) {
    for (auto [model, product] : {std::pair{VexaModel::CantileQk, 0x802Au}, std::pair{VexaModel::CantileQe, 0x802Cu}}) {
        platform::DevNode* node = plug_vexa(model);
        ASSERT_EQ(node->state, platform::NodeState::Started) << NtStatusName(node->lastStatus);
        ASSERT_EQ(open_channel(), kUsbResultOk);
        std::vector<uint8_t> info;
        ASSERT_EQ(firmware(0, 2, {}, &info, 88), kUsbResultOk);
        ASSERT_EQ(info.size(), 88u);
        EXPECT_EQ(U32(info, 52), product);
        EXPECT_EQ(U32(info, 72), 1u);
        std::vector<uint8_t> name;
        ASSERT_EQ(firmware(5, 0, {0x00, 0x01}, &name, 32), kUsbResultOk);
        EXPECT_EQ(std::string(name.begin(), name.end()), "Internal");

        WCHAR product16[32] = {};
        uint8_t request[16] = {};
        uint64_t address = reinterpret_cast<uint64_t>(product16);
        uint16_t capacity = 32;
        std::memcpy(request, &address, 8);
        std::memcpy(request + 8, &capacity, 2);
        ASSERT_EQ(root_.command(kDcpCategoryUsbDevice, kUsbCmdGetProductString, request, 16, nullptr, nullptr),
                  kUsbResultOk);
        EXPECT_EQ(std::u16string(product16), device_->sheet().productName);
        machine_.pnp().remove(*node);
        EXPECT_EQ(leaked_bytes(), 0);
    }
}

// A capabilities block the host cannot use leaves the channel closed: the open succeeds, commands answer 9.
TEST_F(VendorChannelTest, BadCapabilitiesLeaveTheChannelClosed) {
    plug_vexa();
    VendorCapabilities wrongMagic;
    wrongMagic.magic ^= 1;
    VendorCapabilities tooNew;
    tooNew.minCompatibleLevel = 2;
    for (const VendorCapabilities& bad : {wrongMagic, tooNew}) {
        device_->set_capabilities(bad);
        EXPECT_EQ(open_channel(), kUsbResultOk);
        EXPECT_EQ(firmware(0, 2, {}, nullptr), kUsbResultChannelClosed);
    }
    device_->set_capabilities(VendorCapabilities{});
    EXPECT_EQ(open_channel(), kUsbResultOk);
    EXPECT_EQ(firmware(0, 2, {}, nullptr), kUsbResultOk);
}

// A maxPayload whose reply could not fit one control transfer is refused outright.
TEST_F(VendorChannelTest, OversizedMaxPayloadIsRefused) {
    plug_vexa();
    VendorCapabilities huge;
    huge.maxPayload = 0xFFF0;
    device_->set_capabilities(huge);
    EXPECT_EQ(open_channel(), kUsbResultFailed);
    EXPECT_EQ(firmware(0, 2, {}, nullptr), kUsbResultChannelClosed);
    machine_.pnp().remove(*node_);
    EXPECT_EQ(leaked_bytes(), 0);
}

// Opening again replaces the buffers of the earlier open instead of leaking them.
TEST_F(VendorChannelTest, RepeatedOpenKeepsOneSetOfBuffers) {
    plug_vexa();
    ASSERT_EQ(open_channel(), kUsbResultOk);
    int64_t once = platform::pool::outstanding_bytes(vexa::test::kTagBuffer);
    ASSERT_EQ(open_channel(), kUsbResultOk);
    ASSERT_EQ(open_channel(), kUsbResultOk);
    EXPECT_EQ(platform::pool::outstanding_bytes(vexa::test::kTagBuffer), once);
}

// The payload limit is the device's maxPayload exactly; one byte more is refused before anything is sent.
TEST_F(VendorChannelTest, PayloadLimitIsMaxPayload) {
    plug_vexa();
    VendorCapabilities small;
    small.maxPayload = 64;
    device_->set_capabilities(small);
    ASSERT_EQ(open_channel(), kUsbResultOk);
    device_->firmware().set_handler(1, 7, [](const std::vector<uint8_t>& in) {
        return platform::device::FirmwareReply{0, {static_cast<uint8_t>(in.size())}};
    });
    std::vector<uint8_t> reply;
    EXPECT_EQ(firmware(1, 7, std::vector<uint8_t>(64, 0xAB), &reply), kUsbResultOk);
    EXPECT_EQ(reply, std::vector<uint8_t>{64});
    size_t sent = device_->received().size();
    EXPECT_EQ(firmware(1, 7, std::vector<uint8_t>(65, 0xAB), &reply), kUsbResultTooLarge);
    EXPECT_EQ(device_->received().size(), sent);
    auto log = events();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back().errorCode, MSG_HARDWARE_COMMUNICATION_FAILED);
    EXPECT_EQ(log.back().finalStatus, static_cast<int32_t>(kUsbResultTooLarge));
}

// The reply checks run in their order: command word, sequence, length, then the firmware's own status.
TEST_F(VendorChannelTest, ReplyChecksRunInOrder) {
    plug_vexa();
    ASSERT_EQ(open_channel(), kUsbResultOk);
    device_->firmware().set_handler(1, 9, [](const std::vector<uint8_t>&) {
        return platform::device::FirmwareReply{0, std::vector<uint8_t>(40, 1)};
    });
    struct Case {
        VendorFaults faults;
        ULONG64 capacity;
        ULONG expected;
    };
    VendorFaults wrongCommand;
    wrongCommand.wrongCommand = true;
    wrongCommand.wrongSequence = true;
    VendorFaults wrongSequence;
    wrongSequence.wrongSequence = true;
    const Case cases[] = {
        {wrongCommand, 8, kUsbResultHeaderMismatch},   // wins over the sequence and the length
        {wrongSequence, 8, kUsbResultSequenceMismatch},  // wins over the length
        {VendorFaults{}, 39, kUsbResultTooLarge},
        {VendorFaults{}, 40, kUsbResultOk},
    };
    for (const Case& c : cases) {
        device_->set_faults(c.faults);
        std::vector<uint8_t> reply;
        EXPECT_EQ(firmware(1, 9, {}, &reply, c.capacity), c.expected);
        device_->set_faults(VendorFaults{});
        EXPECT_EQ(firmware(0, 0, {}, nullptr, 0), kUsbResultOk);  // resync after each
    }
    // A firmware status comes back unchanged, with nothing copied and a length of 0.
    device_->firmware().set_handler(1, 9, [](const std::vector<uint8_t>&) {
        return platform::device::FirmwareReply{0x1234, std::vector<uint8_t>(4, 7)};
    });
    std::vector<uint8_t> out(8, 0xEE);
    ULONG64 length = out.size();
    EXPECT_EQ(root_.command(1, 9, nullptr, 0, out.data(), &length), 0x1234u);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(out[0], 0xEE);
}

// A reply that claims more payload than it carried copies nothing beyond what arrived.
TEST_F(VendorChannelTest, ReplyClaimingMoreThanItCarriesIsRefused) {
    plug_vexa();
    ASSERT_EQ(open_channel(), kUsbResultOk);
    VendorFaults lying;
    lying.extraLength = 100;
    device_->set_faults(lying);
    std::vector<uint8_t> reply;
    EXPECT_EQ(firmware(0, 2, {}, &reply, 512), kUsbResultFailed);
}

// Counters advance with every reply read, and a resync sets both back to zero first.
TEST_F(VendorChannelTest, CountersAdvanceAndResyncResetsThem) {
    for (uint32_t level : {2u, 1u}) {
        plug_vexa();
        VendorCapabilities caps;
        caps.protocolLevel = level;
        device_->set_capabilities(caps);
        ASSERT_EQ(open_channel(), kUsbResultOk);
        for (int i = 0; i < 3; ++i) ASSERT_EQ(firmware(0, 2, {}, nullptr), kUsbResultOk);
        ASSERT_EQ(firmware(0, 0, {}, nullptr, 0), kUsbResultOk);
        ASSERT_EQ(firmware(0, 2, {}, nullptr), kUsbResultOk);
        std::vector<std::pair<uint16_t, bool>> seen;
        for (auto& c : device_->received()) seen.emplace_back(c.sequence, c.resync);
        // From protocol level 2 on the resync goes as its own request, without data.
        EXPECT_EQ(seen, (std::vector<std::pair<uint16_t, bool>>{{0, false}, {1, false}, {2, false}, {0, level >= 2},
                                                                {1, false}}))
            << "protocol level " << level;
        machine_.pnp().remove(*node_);
    }
}

// Without a reply announcement the exchange gives up after two seconds of machine time.
TEST_F(VendorChannelTest, NoReplyTimesOutAfterTwoSeconds) {
    plug_vexa();
    ASSERT_EQ(open_channel(), kUsbResultOk);
    VendorFaults silent;
    silent.noReply = true;
    device_->set_faults(silent);
    uint64_t start = machine_.clock().now();
    EXPECT_EQ(firmware(0, 2, {}, nullptr), kUsbResultTimeout);
    uint64_t waited = machine_.clock().now() - start;
    EXPECT_GE(waited, platform::Seconds(2));
    EXPECT_LT(waited, platform::Seconds(2) + platform::Milliseconds(5));
}

// A reply that arrives after the host gave up shows at the next exchange as a mismatch; a resync clears it.
TEST_F(VendorChannelTest, LateReplySurfacesAtTheNextExchange) {
    plug_vexa();
    ASSERT_EQ(open_channel(), kUsbResultOk);
    VendorFaults late;
    late.replyDelayMs = 2500;
    device_->set_faults(late);
    EXPECT_EQ(firmware(0, 2, {}, nullptr), kUsbResultTimeout);
    device_->set_faults(VendorFaults{});
    machine_.clock().run_for(platform::Milliseconds(600));
    EXPECT_EQ(firmware(5, 0, {0x00, 0x01}, nullptr), kUsbResultHeaderMismatch);
    EXPECT_EQ(firmware(0, 0, {}, nullptr, 0), kUsbResultOk);
    std::vector<uint8_t> name;
    EXPECT_EQ(firmware(5, 0, {0x00, 0x01}, &name, 32), kUsbResultOk);
    EXPECT_EQ(std::string(name.begin(), name.end()), "Internal");
}

// One interrupt word may both announce a reply and carry device bits; the bits reach the root at once.
TEST_F(VendorChannelTest, InterruptWordCarriesReplyAndDeviceBits) {
    plug_vexa();
    ASSERT_EQ(open_channel(), kUsbResultOk);
    device_->raise_event(0x4, /*withNextReply=*/true);
    EXPECT_EQ(firmware(0, 2, {}, nullptr), kUsbResultOk);
    auto seen = root_.notifications();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].type, kNotifyTypeDeviceBits);
    EXPECT_EQ(seen[0].value, 0x4u);
}

// Only 8-byte interrupt transfers are notifications; anything else (a
// zero-length transfer too) is ignored.
TEST_F(VendorChannelTest, OddInterruptTransfersAreIgnored) {
    plug_vexa();
    device_->send_odd_interrupt(0x10, 0);
    device_->send_odd_interrupt(0x10, 4);
    device_->send_odd_interrupt(0x0, 8);
    device_->raise_event(0x20);
    machine_.clock().run_for(platform::Milliseconds(10));
    auto seen = root_.notifications();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].value, 0x20u);
}

// Exchanges from several threads at once each get their own reply: the channel serialises them.
TEST_F(VendorChannelTest, ConcurrentExchangesAreSerialised) {
    plug_vexa();
    ASSERT_EQ(open_channel(), kUsbResultOk);
    device_->firmware().set_handler(1, 5, [](const std::vector<uint8_t>& in) {
        return platform::device::FirmwareReply{0, in};
    });
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (uint8_t t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (uint8_t i = 0; i < 25; ++i) {
                std::vector<uint8_t> echo;
                if (firmware(1, 5, {t, i}, &echo, 8) != kUsbResultOk || echo != std::vector<uint8_t>{t, i}) ++mismatches;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(mismatches.load(), 0);
    auto received = device_->received();
    for (size_t i = 0; i < received.size(); ++i) EXPECT_EQ(received[i].sequence, i);
}

// A stalled request fails with 1; one the device never takes times out after 500 ms with 2.
TEST_F(VendorChannelTest, StalledAndHungRequestsMapToTheirResults) {
    plug_vexa();
    ASSERT_EQ(open_channel(), kUsbResultOk);
    VendorFaults stall;
    stall.stallCommands = true;
    device_->set_faults(stall);
    EXPECT_EQ(firmware(0, 2, {}, nullptr), kUsbResultFailed);
    VendorFaults hang;
    hang.hangCommands = true;
    device_->set_faults(hang);
    uint64_t start = machine_.clock().now();
    EXPECT_EQ(firmware(0, 2, {}, nullptr), kUsbResultTimeout);
    EXPECT_EQ(machine_.clock().now() - start, platform::Milliseconds(500));
}

// Re-binding while notifications flow never hands a callback another root's device (no torn triple).
TEST_F(VendorChannelTest, RebindingWhileNotificationsFlowIsConsistent) {
    plug_vexa();
    vexa::test::FakeRoot other;
    std::atomic<bool> done{false};
    std::thread clock([&] {
        while (!done.load()) {
            device_->raise_event(0x40);
            machine_.clock().run_for(platform::Milliseconds(1));
        }
    });
    auto delivered = [&] { return root_.notifications().size() + other.notifications().size(); };
    for (int i = 0; i < 1'000'000 && delivered() < 100; ++i) {
        ASSERT_EQ((i % 2 == 0 ? other : root_).query(&node_->pdo), STATUS_SUCCESS);
    }
    done = true;
    clock.join();
    EXPECT_EQ(root_.mismatches(), 0);
    EXPECT_EQ(other.mismatches(), 0);
    EXPECT_GE(delivered(), 100u);
}

// A device that is gone answers 11 from the transfer itself.
TEST_F(VendorChannelTest, UnpluggedDeviceAnswersNotConnected) {
    plug_vexa();
    ASSERT_EQ(open_channel(), kUsbResultOk);
    platform::usb::port_of(*node_)->disconnect();
    EXPECT_EQ(firmware(0, 2, {}, nullptr), kUsbResultNotConnected);
}

}  // namespace
