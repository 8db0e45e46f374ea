// The VEXA firmware's DCP command table: what the interface answers over the
// vendor channel. Commands are (category, command) pairs, 12 bits each on the
// wire; the table holds what the system reads (global 0/0-0/2, the optional
// categories 1-4, strings 5/0, clock 6/4-6/5, channels 7/0-7/3, MIDI ports
// 8/0-8/2) and tests may replace any entry.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "vexa_models.h"

namespace platform::device {

inline constexpr uint32_t kFirmwareUnknownCommand = 0x80000001;  // the firmware's own status word
inline constexpr uint32_t kFirmwareBadArgument = 0x80000002;

struct FirmwareReply {
    uint32_t status = 0;           // 0 success, else the firmware's status word
    std::vector<uint8_t> payload;
};

class Firmware {
public:
    using Handler = std::function<FirmwareReply(const std::vector<uint8_t>& input)>;

    Firmware(const DataSheet& sheet, uint32_t serial);

    FirmwareReply execute(uint16_t category, uint16_t command, const std::vector<uint8_t>& input);
    void set_handler(uint16_t category, uint16_t command, Handler handler);
    void remove_handler(uint16_t category, uint16_t command);

    // Device state the firmware reports.
    void set_clock_status(uint32_t status);
    // Names the firmware gives by string id (5/0); longer names are cut at 32 bytes.
    std::string string_by_id(uint16_t id) const;

    static constexpr size_t kNameBytes = 32;

private:
    void install_defaults();
    std::vector<uint8_t> device_info() const;

    const DataSheet& sheet_;
    uint32_t serial_;
    mutable std::mutex lock_;
    std::map<uint32_t, Handler> handlers_;  // by (category << 16 | command); guarded by lock_
    std::map<uint16_t, std::string> strings_;
    uint32_t clockStatus_ = 1;              // guarded by lock_
};

}  // namespace platform::device
