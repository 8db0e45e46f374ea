// The VEXA interfaces the simulator offers: two models (Cantile-QK, product id
// 0x802A; Cantile-QE, 0x802C), each with its USB descriptors, strings and the
// firmware data the host reads, and descriptor variants that exercise the
// host's error paths.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/usb/usb_types.h"

namespace platform::device {

inline constexpr USHORT kVexaVendorId = 0x0A4A;
inline constexpr USHORT kCantileQkProductId = 0x802A;
inline constexpr USHORT kCantileQeProductId = 0x802C;

// Interface numbers and endpoint addresses of the standard layout.
inline constexpr UCHAR kAudioControlInterface = 0;
inline constexpr UCHAR kPlaybackInterface = 1;
inline constexpr UCHAR kCaptureInterface = 2;
inline constexpr UCHAR kMidiInterface = 3;
inline constexpr UCHAR kVendorInterface = 4;
inline constexpr UCHAR kPlaybackEndpoint = 0x01;
inline constexpr UCHAR kCaptureEndpoint = 0x82;
inline constexpr UCHAR kMidiOutEndpoint = 0x03;
inline constexpr UCHAR kMidiInEndpoint = 0x84;
inline constexpr UCHAR kClockInterruptEndpoint = 0x85;
inline constexpr UCHAR kVendorInterruptEndpoint = 0x86;
inline constexpr UCHAR kSecondMidiOutEndpoint = 0x07;

// UAC 2.0 clock entities.
inline constexpr UCHAR kInternalClockId = 0x28;
inline constexpr UCHAR kExternalClockId = 0x29;
inline constexpr UCHAR kClockSelectorId = 0x2A;

// String indices.
inline constexpr UCHAR kManufacturerString = 1;
inline constexpr UCHAR kProductString = 2;
inline constexpr UCHAR kSerialString = 3;
inline constexpr UCHAR kInternalClockString = 4;
inline constexpr UCHAR kExternalClockString = 5;

enum class VexaModel { CantileQk, CantileQe };

// Channel counts and latencies per rate band (below 50 kHz, below 100 kHz, above).
struct RateBand {
    uint16_t outputChannels;
    uint16_t inputChannels;
    uint32_t outputLatency;  // frames
    uint32_t inputLatency;   // frames
};

// A model's data sheet: what the simulated interface is and offers.
struct DataSheet {
    VexaModel model;
    USHORT productId;
    std::u16string productName;
    RateBand bands[3];
    uint8_t midiInPorts;
    uint8_t midiOutPorts;
    std::vector<uint32_t> rates;          // discrete sample rates the clock offers
    std::vector<uint8_t> firmwareCategories;  // optional DCP categories 1-4 the firmware has
    uint64_t firmwareVersion;             // PackedVersion
};

const DataSheet& data_sheet(VexaModel model);
// Frames a sample takes from the outputs' wire back to the inputs' at `rate`,
// through the converters and an analog loop: the output and input latencies
// of the rate's band (below 50 kHz, below 100 kHz, or above).
uint32_t round_trip_frames(const DataSheet& sheet, uint32_t rate);

// Descriptor sets other than the standard one, for the host's error paths.
struct VexaVariant {
    bool midi = true;                // a MIDI streaming interface
    bool twoMidiOutPorts = false;    // two MIDI OUT endpoints of two cables each
    bool playback = true;            // a playback streaming interface
    bool capture = true;             // a capture streaming interface
    bool clockSelector = true;       // a clock selector in the audio control interface
    bool extraInterfaces = false;    // nine interfaces in all
    bool badSubslot = false;         // 3-byte subslots
    bool badSyncType = false;        // an asynchronous data endpoint
    bool oversizedPacket = false;    // a data endpoint of more than 3072 bytes per microframe
    bool vendorWithoutInterrupt = false;  // the vendor interface's endpoint is bulk
    bool zeroLengthDescriptor = false;    // a descriptor with bLength 0
    bool descriptorPastEnd = false;       // the last descriptor runs past wTotalLength
    uint8_t extraClockSources = 0;        // more clock sources beyond the two
    uint8_t midiOutCables = 1;            // embedded jacks of the first MIDI OUT endpoint
    uint16_t channels = 0;                // channels each way instead of the model's (packets sized for 48 kHz)
};

// The model with a variant's channel count applied.
DataSheet variant_data_sheet(VexaModel model, const VexaVariant& variant);
std::vector<uint8_t> build_configuration(const DataSheet& sheet, const VexaVariant& variant);
std::map<UCHAR, std::u16string> build_strings(const DataSheet& sheet, uint32_t serial);

// Bytes per microframe the data endpoint of `channels` needs at `highestRate`.
USHORT data_packet_bytes(uint16_t channels, uint32_t highestRate = 192000);

}  // namespace platform::device
