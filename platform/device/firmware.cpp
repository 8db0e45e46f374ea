#include "firmware.h"

#include <cstring>

namespace platform::device {

namespace {

constexpr uint32_t Key(uint16_t category, uint16_t command) { return uint32_t{category} << 16 | command; }

template <typename T>
void Put(std::vector<uint8_t>& bytes, size_t offset, T value) {
    if (bytes.size() < offset + sizeof(T)) bytes.resize(offset + sizeof(T));
    std::memcpy(bytes.data() + offset, &value, sizeof(T));
}

template <typename T>
bool Get(const std::vector<uint8_t>& bytes, size_t offset, T* value) {
    if (bytes.size() < offset + sizeof(T)) return false;
    std::memcpy(value, bytes.data() + offset, sizeof(T));
    return true;
}

FirmwareReply Ok(std::vector<uint8_t> payload = {}) { return FirmwareReply{0, std::move(payload)}; }
FirmwareReply BadArgument() { return FirmwareReply{kFirmwareBadArgument, {}}; }

// String ids the firmware uses for its names.
constexpr uint16_t kClockNameBase = 0x100;
constexpr uint16_t kOutputNameBase = 0x200;
constexpr uint16_t kInputNameBase = 0x300;
constexpr uint16_t kMidiInNameBase = 0x400;
constexpr uint16_t kMidiOutNameBase = 0x500;
constexpr uint16_t kBandStride = 0x40;
constexpr size_t kDeviceInfoBytes = 88;
constexpr size_t kMidiPortEntryBytes = 12;
constexpr size_t kMidiPortTableEntries = 16;

}  // namespace

Firmware::Firmware(const DataSheet& sheet, uint32_t serial) : sheet_(sheet), serial_(serial) {
    strings_[kClockNameBase + 0] = "Internal";
    strings_[kClockNameBase + 1] = "S/PDIF";
    for (uint16_t band = 0; band < 3; ++band) {
        for (uint16_t c = 0; c < sheet_.bands[band].outputChannels; ++c) {
            strings_[kOutputNameBase + band * kBandStride + c] = "Output " + std::to_string(c + 1);
        }
        for (uint16_t c = 0; c < sheet_.bands[band].inputChannels; ++c) {
            strings_[kInputNameBase + band * kBandStride + c] = "Input " + std::to_string(c + 1);
        }
    }
    for (uint16_t p = 0; p < sheet_.midiInPorts; ++p) strings_[kMidiInNameBase + p] = "MIDI In " + std::to_string(p + 1);
    for (uint16_t p = 0; p < sheet_.midiOutPorts; ++p) {
        strings_[kMidiOutNameBase + p] = "MIDI Out " + std::to_string(p + 1);
    }
    install_defaults();
}

std::string Firmware::string_by_id(uint16_t id) const {
    auto it = strings_.find(id);
    if (it == strings_.end()) return {};
    return it->second.substr(0, kNameBytes);
}

void Firmware::set_clock_status(uint32_t status) {
    std::lock_guard lock(lock_);
    clockStatus_ = status;
}

std::vector<uint8_t> Firmware::device_info() const {
    std::vector<uint8_t> info(kDeviceInfoBytes, 0);
    Put<uint64_t>(info, 0, 0x5645584100000001ull);  // "VEXA" and the block's layout revision
    Put<uint64_t>(info, 8, sheet_.firmwareVersion);
    Put<uint32_t>(info, 48, 0);                     // identity word
    Put<uint32_t>(info, 52, sheet_.productId);
    Put<uint32_t>(info, 72, serial_);
    return info;
}

void Firmware::install_defaults() {
    auto& h = handlers_;
    h[Key(0, 0)] = [](const std::vector<uint8_t>&) { return Ok(); };
    h[Key(0, 1)] = [this](const std::vector<uint8_t>& in) {
        uint16_t category = 0;
        if (!Get(in, 0, &category)) return BadArgument();
        bool has = category == 0 || (category >= 5 && category <= 8);
        for (uint8_t c : sheet_.firmwareCategories) has = has || c == category;
        return Ok({static_cast<uint8_t>(has ? 1 : 0)});
    };
    h[Key(0, 2)] = [this](const std::vector<uint8_t>&) { return Ok(device_info()); };
    for (uint8_t category : sheet_.firmwareCategories) {
        size_t bytes = 4u * category;
        h[Key(category, 0)] = [category, bytes](const std::vector<uint8_t>&) {
            std::vector<uint8_t> block(bytes, 0);
            for (size_t i = 0; i < bytes; ++i) block[i] = static_cast<uint8_t>(category * 16 + i);
            if (category == 4) Put<uint32_t>(block, 4, 3);  // three category-4 entries
            return Ok(block);
        };
    }
    h[Key(4, 1)] = [](const std::vector<uint8_t>& in) {
        uint32_t index = 0;
        if (!Get(in, 0, &index) || index >= 3) return BadArgument();
        std::string text = "Preset slot " + std::to_string(index) + " (factory)";
        std::vector<uint8_t> entry(24, 0);
        std::memcpy(entry.data(), text.data(), std::min<size_t>(text.size(), 24));
        return Ok(entry);
    };
    h[Key(5, 0)] = [this](const std::vector<uint8_t>& in) {
        uint16_t id = 0;
        if (!Get(in, 0, &id)) return BadArgument();
        if (strings_.count(id) == 0) return BadArgument();
        std::string text = string_by_id(id);
        return Ok(std::vector<uint8_t>(text.begin(), text.end()));
    };
    h[Key(6, 4)] = [this](const std::vector<uint8_t>&) {
        std::vector<uint8_t> reply;
        std::lock_guard lock(lock_);
        Put<uint32_t>(reply, 0, clockStatus_);
        return Ok(reply);
    };
    h[Key(6, 5)] = [](const std::vector<uint8_t>&) {
        std::vector<uint8_t> reply;
        Put<uint32_t>(reply, 0, 0x00010002);
        return Ok(reply);
    };
    h[Key(7, 0)] = [](const std::vector<uint8_t>&) {
        std::vector<uint8_t> info(40, 0);
        Put<uint32_t>(info, 0, 0x00000003);  // both stream directions present
        return Ok(info);
    };
    h[Key(7, 1)] = [this](const std::vector<uint8_t>& in) {
        uint8_t band = 0;
        if (!Get(in, 0, &band) || band > 2) return BadArgument();
        std::vector<uint8_t> info(24, 0);
        Put<uint16_t>(info, 0, sheet_.bands[band].outputChannels);
        Put<uint16_t>(info, 2, sheet_.bands[band].inputChannels);
        Put<uint32_t>(info, 4, sheet_.bands[band].outputLatency);
        Put<uint32_t>(info, 8, sheet_.bands[band].inputLatency);
        return Ok(info);
    };
    for (uint16_t command : {uint16_t{2}, uint16_t{3}}) {
        bool output = command == 2;
        h[Key(7, command)] = [this, output](const std::vector<uint8_t>& in) {
            uint8_t band = 0;
            uint16_t channel = 0;
            if (in.size() != 6 || !Get(in, 0, &band) || !Get(in, 2, &channel) || band > 2) return BadArgument();
            uint16_t count = output ? sheet_.bands[band].outputChannels : sheet_.bands[band].inputChannels;
            if (channel >= count) return BadArgument();
            std::vector<uint8_t> record(16, 0);
            Put<uint16_t>(record, 0, channel);
            Put<uint16_t>(record, 2, static_cast<uint16_t>((output ? kOutputNameBase : kInputNameBase) +
                                                           band * kBandStride + channel));
            Put<uint16_t>(record, 6, 24);  // bits
            return Ok(record);
        };
    }
    h[Key(8, 0)] = [this](const std::vector<uint8_t>&) {
        std::vector<uint8_t> counts;
        Put<uint16_t>(counts, 0, sheet_.midiInPorts);
        Put<uint16_t>(counts, 2, sheet_.midiOutPorts);
        return Ok(counts);
    };
    for (uint16_t command : {uint16_t{1}, uint16_t{2}}) {
        bool input = command == 1;
        h[Key(8, command)] = [this, input](const std::vector<uint8_t>&) {
            std::vector<uint8_t> table(kMidiPortEntryBytes * kMidiPortTableEntries, 0);
            uint8_t count = input ? sheet_.midiInPorts : sheet_.midiOutPorts;
            for (uint16_t p = 0; p < count; ++p) {
                Put<uint16_t>(table, p * kMidiPortEntryBytes, p);
                Put<uint16_t>(table, p * kMidiPortEntryBytes + 2,
                              static_cast<uint16_t>((input ? kMidiInNameBase : kMidiOutNameBase) + p));
            }
            return Ok(table);
        };
    }
}

FirmwareReply Firmware::execute(uint16_t category, uint16_t command, const std::vector<uint8_t>& input) {
    Handler handler;
    {
        std::lock_guard lock(lock_);
        auto it = handlers_.find(Key(category, command));
        if (it == handlers_.end()) return FirmwareReply{kFirmwareUnknownCommand, {}};
        handler = it->second;
    }
    return handler(input);
}

void Firmware::set_handler(uint16_t category, uint16_t command, Handler handler) {
    std::lock_guard lock(lock_);
    handlers_[Key(category, command)] = std::move(handler);
}

void Firmware::remove_handler(uint16_t category, uint16_t command) {
    std::lock_guard lock(lock_);
    handlers_.erase(Key(category, command));
}

}  // namespace platform::device
