// The host's continuous reader with the transfers a device may really send.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/kernel/fault.h"
#include "support/vexa_fixture.h"

namespace {

using platform::device::VexaInterface;
using platform::device::VexaModel;

// An interface whose vendor interrupt endpoint first answers with transfers of no bytes.
class EmptyInterruptInterface : public VexaInterface {
public:
    explicit EmptyInterruptInterface(unsigned empties) : VexaInterface(VexaModel::CantileQe), empties_(empties) {}

    std::optional<std::vector<uint8_t>> read_in(UCHAR endpointAddress, ULONG maxBytes) override {
        if (endpointAddress == platform::device::kVendorInterruptEndpoint && empties_ > 0) {
            --empties_;
            return std::vector<uint8_t>{};
        }
        return VexaInterface::read_in(endpointAddress, maxBytes);
    }

private:
    unsigned empties_;  // the host's frame thread only
};

// An interface that does not say when it has IN data: the host must poll it.
class PolledInterface : public VexaInterface {
public:
    PolledInterface() : VexaInterface(VexaModel::CantileQe) {}
    bool announces_in() const override { return false; }
};

// An interface that counts the host's asks on its vendor interrupt endpoint.
class CountingInterface : public VexaInterface {
public:
    CountingInterface() : VexaInterface(VexaModel::CantileQe) {}

    std::optional<std::vector<uint8_t>> read_in(UCHAR endpointAddress, ULONG maxBytes) override {
        if (endpointAddress == platform::device::kVendorInterruptEndpoint) asks.fetch_add(1);
        return VexaInterface::read_in(endpointAddress, maxBytes);
    }

    std::atomic<unsigned> asks{0};
};

class ContinuousReaderTest : public vexa::test::VexaTest {};

// A zero-length interrupt transfer reaches the driver as an empty read (the
// reader copied from the empty transfer's null data), and later notifications still arrive.
TEST_F(ContinuousReaderTest, ZeroLengthTransfersAreEmptyReads) {
    constexpr unsigned kEmpties = 3;
    auto device = std::make_shared<EmptyInterruptInterface>(kEmpties);
    platform::DevNode* node = plug(device);
    ASSERT_EQ(node->state, platform::NodeState::Started);
    ASSERT_EQ(root_.query(&node->pdo), STATUS_SUCCESS);
    machine_.clock().run_for(platform::Milliseconds(kEmpties + 2));
    EXPECT_TRUE(root_.notifications().empty());
    device->raise_event(0x40);
    machine_.clock().run_for(platform::Milliseconds(2));
    auto seen = root_.notifications();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].value, 0x40u);
}

// With nothing scheduled and nothing to read the host tells the clock it is
// idle (a real-time machine then sleeps); a device's notification or reply
// and its removal end the idleness at once.
TEST_F(ContinuousReaderTest, IdleBusWakesForNotificationsRepliesAndRemoval) {
    plug_vexa();
    machine_.clock().run_for(platform::Milliseconds(3));
    EXPECT_TRUE(machine_.clock().listeners_idle());
    device_->raise_event(0x40);
    EXPECT_FALSE(machine_.clock().listeners_idle()) << "the announcement must wake the bus before the next frame";
    machine_.clock().run_for(platform::Milliseconds(3));
    ASSERT_EQ(root_.notifications().size(), 1u);
    EXPECT_TRUE(machine_.clock().listeners_idle());
    ASSERT_EQ(open_channel(), kUsbResultOk);  // a reply is announced and read like a notification
    machine_.clock().run_for(platform::Milliseconds(3));
    EXPECT_TRUE(machine_.clock().listeners_idle());
    platform::usb::unplug(*node_);
    EXPECT_FALSE(machine_.clock().listeners_idle()) << "readers must see the device go";
}

// A device that does not announce its IN data keeps the bus awake while the
// host reads from it, and its removal lets the bus sleep again. Guards the
// list of polled readers kept as readers come and go.
TEST_F(ContinuousReaderTest, PolledDeviceKeepsTheBusAwakeUntilItGoes) {
    auto device = std::make_shared<PolledInterface>();
    platform::DevNode* node = plug(device);
    ASSERT_EQ(node->state, platform::NodeState::Started);
    ASSERT_EQ(root_.query(&node->pdo), STATUS_SUCCESS);
    machine_.clock().run_for(platform::Milliseconds(5));
    EXPECT_FALSE(machine_.clock().listeners_idle()) << "a polled device's readers need every frame";
    device->raise_event(0x40);
    machine_.clock().run_for(platform::Milliseconds(2));
    EXPECT_EQ(root_.notifications().size(), 1u);
    platform::usb::unplug(*node);
    machine_.clock().run_for(platform::Milliseconds(5));
    EXPECT_TRUE(machine_.clock().listeners_idle()) << "no reader is left to poll";
}

// Reads that fail go to the driver's readers-failed callback, and the
// readers it restarts (the USB function driver answers TRUE) still hear the
// device's notifications: a failure must neither stop a reader nor pass for
// a read (the notification waits for the next good read).
TEST_F(ContinuousReaderTest, FailedReadsRestartTheReaders) {
    plug_vexa();
    machine_.clock().run_for(platform::Milliseconds(2));
    platform::fault::inject("ContinuousRead", STATUS_UNSUCCESSFUL, 0, 0);  // every reader, this frame
    device_->raise_event(0x40);
    machine_.clock().run_for(platform::Milliseconds(1));
    EXPECT_GE(platform::fault::fired("ContinuousRead"), 1u);
    platform::fault::clear();
    EXPECT_TRUE(root_.notifications().empty());
    machine_.clock().run_for(platform::Milliseconds(3));
    auto seen = root_.notifications();
    ASSERT_EQ(seen.size(), 1u) << "the notification waits out the failed read, and comes once";
    EXPECT_EQ(seen[0].value, 0x40u);
    device_->raise_event(0x80);
    machine_.clock().run_for(platform::Milliseconds(3));
    seen = root_.notifications();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].value, 0x80u);
}

// Readers that found nothing wait for the device to announce data: a quiet
// device is not asked frame after frame, and what it announces still arrives
// at the next frame.
TEST_F(ContinuousReaderTest, QuietReadersWaitForAnAnnouncement) {
    auto device = std::make_shared<CountingInterface>();
    platform::DevNode* node = plug(device);
    ASSERT_EQ(node->state, platform::NodeState::Started);
    ASSERT_EQ(root_.query(&node->pdo), STATUS_SUCCESS);
    machine_.clock().run_for(platform::Milliseconds(3));
    unsigned settled = device->asks.load();
    ASSERT_GT(settled, 0u) << "a new reader asks at its first frame";
    machine_.clock().run_for(platform::Milliseconds(20));
    EXPECT_EQ(device->asks.load(), settled) << "nothing was announced";
    device->raise_event(0x40);
    machine_.clock().run_for(platform::Milliseconds(1));
    auto seen = root_.notifications();
    ASSERT_EQ(seen.size(), 1u) << "an announcement is read at the next frame";
    EXPECT_EQ(seen[0].value, 0x40u);
}

// More words than a frame's reads take: the readers go on asking, without a
// further announcement, until the device has nothing left; none is lost or
// delivered out of order.
TEST_F(ContinuousReaderTest, ABacklogIsReadOverTheFollowingFrames) {
    plug_vexa();
    machine_.clock().run_for(platform::Milliseconds(3));
    constexpr uint32_t kWords = 7;  // more than the default reads of several frames
    for (uint32_t k = 0; k < kWords; ++k) device_->raise_event(0x40u << k);
    machine_.clock().run_for(platform::Milliseconds(kWords + 1));
    auto seen = root_.notifications();
    ASSERT_EQ(seen.size(), kWords);
    for (uint32_t k = 0; k < kWords; ++k) EXPECT_EQ(seen[k].value, 0x40u << k) << "word " << k;
}

// A fault armed while the readers wait still meets them at the next frame,
// as it would when they ask every frame, and the reader restarts from it.
TEST_F(ContinuousReaderTest, AFaultArmedWhileQuietFiresAtTheNextFrame) {
    plug_vexa();
    machine_.clock().run_for(platform::Milliseconds(5));
    platform::fault::inject("ContinuousRead", STATUS_UNSUCCESSFUL);
    machine_.clock().run_for(platform::Milliseconds(1));
    EXPECT_EQ(platform::fault::fired("ContinuousRead"), 1u);
    platform::fault::clear();
    device_->raise_event(0x80);
    machine_.clock().run_for(platform::Milliseconds(3));
    auto seen = root_.notifications();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].value, 0x80u);
}

}  // namespace
