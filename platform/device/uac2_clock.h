// The interface's USB Audio Class 2.0 clock entities as the firmware serves
// them: two clock sources behind a selector, each with its sampling
// frequency, its range of discrete rates and a validity flag.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <vector>

#include "platform/usb/usb_device_model.h"

namespace platform::device {

struct RateRange {
    uint32_t minimum;
    uint32_t maximum;
    uint32_t resolution;
};

class Uac2Clock {
public:
    Uac2Clock(std::vector<uint32_t> rates, bool hasSelector);

    // A class request to the audio-control interface (entity in the high byte of wIndex).
    usb::ControlResult request(const WDF_USB_CONTROL_SETUP_PACKET& setup, uint8_t* data);

    uint32_t rate() const;
    uint8_t selector_pin() const;
    void set_selector_pin(uint8_t pin);
    // Knobs: the next frequency sets are refused; the ranges reported replace the rates.
    void refuse_rate_changes(bool refuse);
    void set_reported_ranges(std::vector<RateRange> ranges);
    void set_valid(bool valid);

private:
    mutable std::mutex lock_;
    std::vector<uint32_t> rates_;
    std::optional<std::vector<RateRange>> reportedRanges_;  // guarded by lock_
    bool hasSelector_;
    uint8_t pin_ = 1;             // guarded by lock_
    // Both sources follow the selected rate. Written under lock_; read without
    // it by the streams each packet (relaxed: a packet sees the old or the new rate).
    std::atomic<uint32_t> rate_{48000};
    bool refuseSet_ = false;      // guarded by lock_
    bool valid_ = true;           // guarded by lock_
};

}  // namespace platform::device
