#include "uac2_clock.h"

#include <algorithm>
#include <cstring>

#include "vexa_models.h"

namespace platform::device {

namespace {

constexpr uint8_t kRequestCur = 1;
constexpr uint8_t kRequestRange = 2;
constexpr uint8_t kControlSamplingFrequency = 1;  // CS_SAM_FREQ_CONTROL / CX_CLOCK_SELECTOR_CONTROL
constexpr uint8_t kControlClockValid = 2;

}  // namespace

Uac2Clock::Uac2Clock(std::vector<uint32_t> rates, bool hasSelector) : rates_(std::move(rates)), hasSelector_(hasSelector) {}

uint32_t Uac2Clock::rate() const { return rate_.load(std::memory_order_relaxed); }

uint8_t Uac2Clock::selector_pin() const {
    std::lock_guard lock(lock_);
    return pin_;
}

void Uac2Clock::set_selector_pin(uint8_t pin) {
    std::lock_guard lock(lock_);
    pin_ = pin;
}

void Uac2Clock::refuse_rate_changes(bool refuse) {
    std::lock_guard lock(lock_);
    refuseSet_ = refuse;
}

void Uac2Clock::set_reported_ranges(std::vector<RateRange> ranges) {
    std::lock_guard lock(lock_);
    reportedRanges_ = std::move(ranges);
}

void Uac2Clock::set_valid(bool valid) {
    std::lock_guard lock(lock_);
    valid_ = valid;
}

usb::ControlResult Uac2Clock::request(const WDF_USB_CONTROL_SETUP_PACKET& setup, uint8_t* data) {
    std::lock_guard lock(lock_);
    bool in = (setup.bmRequestType & 0x80) != 0;
    uint8_t entity = static_cast<uint8_t>(setup.wIndex >> 8);
    uint8_t control = static_cast<uint8_t>(setup.wValue >> 8);
    bool source = entity == kInternalClockId || entity == kExternalClockId;
    if (entity == kClockSelectorId && hasSelector_ && control == kControlSamplingFrequency &&
        setup.bRequest == kRequestCur && setup.wLength >= 1) {
        if (in) {
            data[0] = pin_;
        } else if (data[0] >= 1 && data[0] <= 2) {
            pin_ = data[0];
        } else {
            return {usb::kStall, 0};
        }
        return {STATUS_SUCCESS, 1};
    }
    if (!source) return {usb::kStall, 0};
    if (control == kControlSamplingFrequency && setup.bRequest == kRequestCur && setup.wLength >= 4) {
        if (in) {
            uint32_t rate = rate_.load(std::memory_order_relaxed);
            std::memcpy(data, &rate, 4);
            return {STATUS_SUCCESS, 4};
        }
        uint32_t requested;
        std::memcpy(&requested, data, 4);
        if (refuseSet_ || std::find(rates_.begin(), rates_.end(), requested) == rates_.end()) return {usb::kStall, 0};
        rate_.store(requested, std::memory_order_relaxed);
        return {STATUS_SUCCESS, 4};
    }
    if (control == kControlSamplingFrequency && setup.bRequest == kRequestRange && in && setup.wLength >= 2) {
        std::vector<RateRange> ranges;
        if (reportedRanges_) {
            ranges = *reportedRanges_;
        } else {
            for (uint32_t r : rates_) ranges.push_back({r, r, 0});
        }
        std::vector<uint8_t> reply(2 + 12 * ranges.size());
        auto count = static_cast<uint16_t>(ranges.size());
        std::memcpy(reply.data(), &count, 2);
        for (size_t i = 0; i < ranges.size(); ++i) std::memcpy(reply.data() + 2 + 12 * i, &ranges[i], 12);
        ULONG bytes = std::min<ULONG>(setup.wLength, static_cast<ULONG>(reply.size()));
        std::memcpy(data, reply.data(), bytes);
        return {STATUS_SUCCESS, bytes};
    }
    if (control == kControlClockValid && setup.bRequest == kRequestCur && in && setup.wLength >= 1) {
        data[0] = valid_ ? 1 : 0;
        return {STATUS_SUCCESS, 1};
    }
    return {usb::kStall, 0};
}

}  // namespace platform::device
