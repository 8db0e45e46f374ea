#include "vexa_models.h"

#include <algorithm>
#include <cstdio>

#include "descriptor_builder.h"

namespace platform::device {

namespace {

constexpr UCHAR kAudioClass = 0x01;
constexpr UCHAR kAudioControl = 0x01;
constexpr UCHAR kAudioStreaming = 0x02;
constexpr UCHAR kMidiStreaming = 0x03;
constexpr UCHAR kUac2Protocol = 0x20;
constexpr UCHAR kVendorClass = 0xFF;
constexpr UCHAR kVendorChannelSubclass = 0x01;
constexpr UCHAR kIsoSynchronous = 0x0D;   // isochronous, synchronous (bits 2-3 = 3)
constexpr UCHAR kIsoAsynchronous = 0x05;
constexpr UCHAR kBulk = 0x02;
constexpr UCHAR kInterrupt = 0x03;
constexpr uint32_t kMicroframesPerSecond = 8000;
constexpr uint32_t kBand1From = 50000;  // Hz
constexpr uint32_t kBand2From = 100000;

const DataSheet kQk{
    VexaModel::CantileQk,
    kCantileQkProductId,
    u"Cantile-QK",
    {{4, 4, 38, 42}, {4, 4, 70, 78}, {2, 2, 136, 150}},
    1,
    1,
    {44100, 48000, 88200, 96000, 176400, 192000},
    {1, 2},
    0x8040300100000A21ull,
};

const DataSheet kQe{
    VexaModel::CantileQe,
    kCantileQeProductId,
    u"Cantile-QE",
    {{10, 10, 40, 46}, {10, 10, 72, 80}, {4, 4, 140, 156}},
    1,
    1,
    {44100, 48000, 88200, 96000, 176400, 192000},
    {1, 2, 3, 4},
    0x8040400200001F40ull,
};

uint16_t MaxOutputs(const DataSheet& sheet) {
    return std::max({sheet.bands[0].outputChannels, sheet.bands[1].outputChannels, sheet.bands[2].outputChannels});
}

uint16_t MaxInputs(const DataSheet& sheet) {
    return std::max({sheet.bands[0].inputChannels, sheet.bands[1].inputChannels, sheet.bands[2].inputChannels});
}

void AudioControl(DescriptorBuilder& b, const VexaVariant& variant) {
    b.interface(kAudioControlInterface, 0, 1, kAudioClass, kAudioControl, kUac2Protocol);
    b.raw({9, 0x24, 0x01, 0x00, 0x02, 0x0A, 0x00, 0x00, 0x00});  // header, UAC 2.0
    // Clock sources: internal (programmable), external (S/PDIF).
    b.raw({8, 0x24, 0x0A, kInternalClockId, 0x03, 0x07, 0x00, kInternalClockString});
    b.raw({8, 0x24, 0x0A, kExternalClockId, 0x00, 0x07, 0x00, kExternalClockString});
    for (uint8_t i = 0; i < variant.extraClockSources; ++i) {
        b.raw({8, 0x24, 0x0A, static_cast<uint8_t>(0x40 + i), 0x00, 0x07, 0x00, 0});
    }
    if (variant.clockSelector) b.raw({9, 0x24, 0x0B, kClockSelectorId, 2, kInternalClockId, kExternalClockId, 0x03, 0});
    b.endpoint(kClockInterruptEndpoint, kInterrupt, 6, 4);
}

void Streaming(DescriptorBuilder& b, UCHAR number, UCHAR endpoint, uint16_t channels, const VexaVariant& variant) {
    UCHAR subslot = variant.badSubslot ? 3 : 4;
    USHORT packet = variant.oversizedPacket ? static_cast<USHORT>(0x1000 | 1025)
                    : variant.channels != 0 ? data_packet_bytes(channels, 48000)
                                            : data_packet_bytes(channels);
    b.interface(number, 0, 0, kAudioClass, kAudioStreaming, kUac2Protocol);
    b.interface(number, 1, 1, kAudioClass, kAudioStreaming, kUac2Protocol);
    b.raw({16, 0x24, 0x01, 0x00, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00, static_cast<uint8_t>(channels), 0, 0, 0, 0, 0});
    b.raw({6, 0x24, 0x02, 0x01, subslot, 24});
    b.endpoint(endpoint, variant.badSyncType ? kIsoAsynchronous : kIsoSynchronous, packet, 1);
    b.raw({8, 0x25, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00});
}

void Midi(DescriptorBuilder& b, const VexaVariant& variant) {
    UCHAR endpoints = variant.twoMidiOutPorts ? 3 : 2;
    b.interface(kMidiInterface, 0, endpoints, kAudioClass, kMidiStreaming, 0);
    b.raw({7, 0x24, 0x01, 0x00, 0x01, 0x41, 0x00});  // MS header
    b.raw({6, 0x24, 0x02, 0x01, 0x01, 0x00});        // embedded IN jack 1
    b.raw({6, 0x24, 0x02, 0x01, 0x02, 0x00});        // embedded IN jack 2
    b.raw({9, 0x24, 0x03, 0x01, 0x03, 0x01, 0x02, 0x01, 0x00});  // embedded OUT jack 3
    b.raw({9, 0x24, 0x03, 0x01, 0x04, 0x01, 0x01, 0x01, 0x00});  // embedded OUT jack 4
    b.endpoint(kMidiOutEndpoint, kBulk, 512, 0);
    uint8_t cables = variant.twoMidiOutPorts ? 2 : variant.midiOutCables;
    std::vector<uint8_t> general{static_cast<uint8_t>(4 + cables), 0x25, 0x01, cables};
    for (uint8_t jack = 0; jack < cables; ++jack) general.push_back(static_cast<uint8_t>(1 + jack % 2));
    b.raw(general);
    b.endpoint(kMidiInEndpoint, kBulk | 0x00, 512, 0);
    b.raw({5, 0x25, 0x01, 1, 0x03});
    if (variant.twoMidiOutPorts) {
        b.endpoint(kSecondMidiOutEndpoint, kBulk, 512, 0);
        b.raw({6, 0x25, 0x01, 2, 0x01, 0x02});
    }
}

void Vendor(DescriptorBuilder& b, const VexaVariant& variant) {
    b.interface(kVendorInterface, 0, 1, kVendorClass, kVendorChannelSubclass, 0);
    b.endpoint(kVendorInterruptEndpoint, variant.vendorWithoutInterrupt ? kBulk : kInterrupt, 8, 4);
}

}  // namespace

const DataSheet& data_sheet(VexaModel model) { return model == VexaModel::CantileQk ? kQk : kQe; }

uint32_t round_trip_frames(const DataSheet& sheet, uint32_t rate) {
    const RateBand& band = sheet.bands[rate < kBand1From ? 0 : rate < kBand2From ? 1 : 2];
    return band.outputLatency + band.inputLatency;
}

USHORT data_packet_bytes(uint16_t channels, uint32_t highestRate) {
    // One frame more than the highest rate needs per microframe, for rates that do not divide evenly.
    return static_cast<USHORT>(channels * 4 * (highestRate / kMicroframesPerSecond + 1));
}

DataSheet variant_data_sheet(VexaModel model, const VexaVariant& variant) {
    DataSheet sheet = data_sheet(model);
    if (variant.channels != 0) {
        for (RateBand& band : sheet.bands) band.outputChannels = band.inputChannels = variant.channels;
        sheet.rates = {44100, 48000};
    }
    return sheet;
}

std::vector<uint8_t> build_configuration(const DataSheet& sheet, const VexaVariant& variant) {
    DescriptorBuilder b;
    b.configuration(1, 0xC0, 0);
    AudioControl(b, variant);
    if (variant.playback) Streaming(b, kPlaybackInterface, kPlaybackEndpoint, MaxOutputs(sheet), variant);
    if (variant.capture) Streaming(b, kCaptureInterface, kCaptureEndpoint, MaxInputs(sheet), variant);
    if (variant.midi) Midi(b, variant);
    Vendor(b, variant);
    if (variant.extraInterfaces) {
        for (UCHAR n = 5; n < 9; ++n) b.interface(n, 0, 0, 0xFE, 0x01, 0);
    }
    std::vector<uint8_t> bytes = b.build();
    size_t header = bytes[0];
    if (variant.zeroLengthDescriptor) bytes[header + 9] = 0;  // the header after the first interface
    if (variant.descriptorPastEnd) {
        size_t last = header;
        for (size_t p = header; p < bytes.size() && bytes[p] != 0; p += bytes[p]) last = p;
        bytes[last] = static_cast<uint8_t>(bytes[last] + 8);
    }
    return bytes;
}

std::map<UCHAR, std::u16string> build_strings(const DataSheet& sheet, uint32_t serial) {
    char text[16];
    std::snprintf(text, sizeof(text), "%08u", serial);
    std::u16string serialText(text, text + std::char_traits<char>::length(text));
    return {
        {kManufacturerString, u"QUV"},
        {kProductString, sheet.productName},
        {kSerialString, serialText},
        {kInternalClockString, u"Internal"},
        {kExternalClockString, u"S/PDIF"},
    };
}

}  // namespace platform::device
