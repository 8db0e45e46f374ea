// A bound VEXA interface driven the way the root driver drives its streams:
// clock set, format, StreamState mapped, streaming started and stopped.
#pragma once

#include <optional>

#include "platform/usb/host_controller.h"
#include "support/ring_client.h"
#include "support/vexa_fixture.h"

namespace vexa::test {

class StreamTest : public VexaTest {
protected:
    ULONG driver(USHORT command, void* in, ULONG64 length) {
        return root_.command(kDcpCategoryUsbDevice, command, in, length, nullptr, nullptr);
    }

    ULONG set_rate(ULONG rate, USHORT clockId = platform::device::kInternalClockId) {
        uint8_t in[8] = {};
        std::memcpy(in, &rate, 4);
        std::memcpy(in + 4, &clockId, 2);
        return root_.command(kDcpCategoryClock, kDcpClockSet, in, sizeof(in), nullptr, nullptr);
    }

    StreamState* map_state() {
        uint8_t in[136] = {};
        if (driver(kUsbCmdMapStreamState, in, sizeof(in)) != kUsbResultOk) return nullptr;
        uint64_t address;
        std::memcpy(&address, in, 8);
        return reinterpret_cast<StreamState*>(address);
    }

    // Rate, format and StreamState as the root driver sets them before a start.
    StreamState* prepare(ULONG rate, ULONG mode = 0, ULONG period = 256) {
        EXPECT_EQ(set_rate(rate), kUsbResultOk);
        StreamFormat format{};
        format.sampleRate = rate;
        format.clockSource = platform::device::kInternalClockId;
        format.operationMode = mode;
        format.periodFrames = period;
        format.outputChannels = device_->playback_channels();
        format.inputChannels = device_->capture_channels();
        EXPECT_EQ(driver(kUsbCmdSetStreamFormat, &format, sizeof(format)), kUsbResultOk);
        state_ = map_state();
        if (state_ != nullptr) state_->captureCursorPosition = state_->playbackCursorPosition = 0;
        return state_;
    }

    ULONG start() {
        ULONG on = 1;
        return driver(kUsbCmdSetStreaming, &on, sizeof(on));
    }

    // Stops and polls busy as the root driver does: up to ten times, 20 ms apart.
    bool stop() {
        ULONG off = 0;
        if (driver(kUsbCmdSetStreaming, &off, sizeof(off)) != kUsbResultOk) return false;
        for (int i = 0; i < 10; ++i) {
            ULONG busy = 1;
            if (driver(kUsbCmdQueryBusy, &busy, sizeof(busy)) == kUsbResultOk && busy == 0) return true;
            machine_.clock().run_for(platform::Milliseconds(20));
        }
        return false;
    }

    platform::usb::HostController& host() { return platform::usb::HostController::get(); }

    StreamState* state_ = nullptr;
};

// A playback sample nobody could confuse with silence or another frame.
inline LONG RampSample(uint64_t frame, ULONG channel) { return static_cast<LONG>((frame + 1) << 8 | (channel + 1)); }

}  // namespace vexa::test
