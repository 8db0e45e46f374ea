// A bus's cached state as the root driver last reported it: the bus settings
// block, the clock's rate list and the audio client counts. A new record
// holds no known state: every settings byte all ones, counts and flags zero.
#pragma once

#include <cstdint>
#include <cstring>

#include "source/driver/usb/win/vexa_usb_swroot/public/pal_interface.h"

namespace mrak::vexa {

inline constexpr uint32_t kMaxRates = 16;

struct BusRecord {
    BusRecord() { std::memset(&settings, 0xFF, sizeof(settings)); }

    uint32_t rateCount = 0;         // valid entries of rates
    uint32_t rates[kMaxRates] = {};  // Hz, as the clock lists them (DCP 6/1)
    uint32_t clientCount = 0;        // ASIO plus kernel audio clients
    uint8_t singleAsioClient = 0;    // 1 when exactly one ASIO client is open
    // Flags the root driver does not report; nothing sets them, so they never change.
    uint8_t reservedFlag1 = 0;
    uint8_t reservedFlag2 = 0;
    uint8_t reservedFlag3 = 0;
    uint8_t reservedFlag4 = 0;
    uint8_t reservedFlag5 = 0;
    ::vexa::pal::BusSettingsBlock settings;  // kDcpBusGetSettings

    // The listed device ids that may be read: the root never reports more than
    // five, and a record that says otherwise is not trusted past them.
    uint32_t device_count() const {
        return settings.deviceCount < ::vexa::pal::kMaxBusDevices ? settings.deviceCount : ::vexa::pal::kMaxBusDevices;
    }
};

}  // namespace mrak::vexa
