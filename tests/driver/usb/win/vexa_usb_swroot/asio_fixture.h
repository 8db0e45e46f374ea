// ASIO hosts on the root driver's test image over a stand-in USB function
// driver (a Cantile-QE's firmware: ten channels each way at 48 kHz). The
// period callback is driven by the test through packet rings of its own, so
// what a client reads and writes can be followed sample by sample.
#pragma once

#include <memory>

#include "platform/kernel/mdl.h"
#include "platform/kernel/pool.h"
#include "platform/machine/logger_driver.h"
#include "support/asio_interface_client.h"
#include "support/packet_rings.h"
#include "tests/driver/usb/win/vexa_usb_swroot/fake_usb_fixture.h"

namespace vexa::test {

inline constexpr ULONG kAsioTag = 0x6F697361;  // 'asio'
inline constexpr uint32_t kQeChannels = 10;    // each way, below 50 kHz

class AsioTest : public FakeUsbTest {
protected:
    AsioTest() { plug_fake(); }
    ~AsioTest() override {
        hosts_.clear();
        platform::win32::set_default_process(nullptr);
    }

    // A host with its handle open, kept until the test ends.
    AsioInterfaceClient& host(bool is32Bit = false) {
        hosts_.push_back(std::make_unique<AsioInterfaceClient>(is32Bit));
        EXPECT_TRUE(hosts_.back()->open());
        return *hosts_.back();
    }
    // A host whose connection is in `state` (0 closed .. 5 running), with
    // buffers of 512 frames (the system's size) on channels 0 and 1 each way.
    AsioInterfaceClient& host_in(uint32_t state) {
        AsioInterfaceClient& h = host();
        if (state >= 1) {
            EXPECT_TRUE(h.open_session().ok());
        }
        if (state >= 2) {
            EXPECT_TRUE(h.create_buffers(512, {0, 1}, {0, 1}).ok());
        }
        if (state >= 3) {
            EXPECT_TRUE(h.start().ok());
            follow_rings();
        }
        if (state == 3) {
            EXPECT_TRUE(h.stop().ok());
        }
        if (state == 5) period(512);
        return h;
    }

    // The clients walk the test's rings from here on (streaming has started).
    void follow_rings() { root_.set_stream_state(&rings_.state); }
    // One period callback of `frames` at time `timeNs`, then the USB driver's step.
    void period(uint32_t frames, uint64_t timeNs = 0) {
        root_.period(frames, timeNs);
        rings_.publish();
    }

    int64_t asio_bytes() { return platform::pool::outstanding_bytes(kAsioTag); }
    // The objects' tag: the clients and each session's shared block.
    int64_t object_bytes() { return platform::pool::outstanding_bytes(0x774E434B); }
    // Records the clients wrote on the realtime ring with `mask`.
    size_t realtime_records(uint32_t mask) {
        size_t count = 0;
        for (const auto& r : root_.machine().logger().records(log::kRingTagRealtime)) count += r.mask == mask ? 1 : 0;
        return count;
    }
    bool streaming() {
        std::lock_guard guard(fake_->lock);
        return fake_->streaming;
    }

    PacketRings rings_{kQeChannels};
    std::vector<std::unique_ptr<AsioInterfaceClient>> hosts_;
};

}  // namespace vexa::test
