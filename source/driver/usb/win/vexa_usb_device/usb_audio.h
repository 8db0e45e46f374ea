// The USB Audio Class 2.0 and USB-MIDI facts the USB function driver relies
// on: interface classes, the class-specific descriptors with their fields by
// name, the clock requests, the timing of a high-speed isochronous endpoint,
// the MIDI event packet and the MIDI status bytes. The simulated interface keeps its own copies on
// purpose, so that a mismatch between driver and firmware still shows.
#pragma once

#include <cstddef>

#include "platform/kernel/nt_types.h"

// ---- interface classes --------------------------------------------------------------------

inline constexpr UCHAR kAudioClass = 0x01;
inline constexpr UCHAR kAudioControlSubclass = 0x01;
inline constexpr UCHAR kAudioStreamingSubclass = 0x02;
inline constexpr UCHAR kMidiStreamingSubclass = 0x03;

// ---- class-specific descriptors ------------------------------------------------------------

inline constexpr UCHAR kCsInterface = 0x24;
inline constexpr UCHAR kCsEndpoint = 0x25;

// Subtypes of the audio-control interface's descriptors.
inline constexpr UCHAR kAcClockSource = 0x0A;
inline constexpr UCHAR kAcClockSelector = 0x0B;
// Subtypes of the audio-streaming interface's descriptors, and the one format type the driver streams.
inline constexpr UCHAR kAsGeneral = 0x01;
inline constexpr UCHAR kAsFormatType = 0x02;
inline constexpr UCHAR kFormatTypeI = 0x01;
// Subtype of the MIDI-streaming endpoint's class-specific descriptor.
inline constexpr UCHAR kMsGeneral = 0x01;

#pragma pack(push, 1)
// The head every class-specific descriptor starts with; an entity's id follows it.
struct UacDescriptorHeader {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;
    UCHAR bEntityId;  // clock source and selector: bClockID
};
static_assert(sizeof(UacDescriptorHeader) == 4);

struct UacClockSourceDescriptor {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;  // kAcClockSource
    UCHAR bClockID;
    UCHAR bmAttributes;
    UCHAR bmControls;
    UCHAR bAssocTerminal;
    UCHAR iClockSource;  // string index of the source's name
};
static_assert(sizeof(UacClockSourceDescriptor) == 8);
static_assert(offsetof(UacClockSourceDescriptor, bClockID) == offsetof(UacDescriptorHeader, bEntityId));
static_assert(offsetof(UacClockSourceDescriptor, iClockSource) == 7);

struct UacAsGeneralDescriptor {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;  // kAsGeneral
    UCHAR bTerminalLink;
    UCHAR bmControls;
    UCHAR bFormatType;
    ULONG bmFormats;
    UCHAR bNrChannels;
    ULONG bmChannelConfig;
    UCHAR iChannelNames;
};
static_assert(sizeof(UacAsGeneralDescriptor) == 16);
static_assert(offsetof(UacAsGeneralDescriptor, bNrChannels) == 10);
// The driver reads no further than the channel count.
inline constexpr UCHAR kAsGeneralReadBytes = offsetof(UacAsGeneralDescriptor, bNrChannels) + 1;

struct UacFormatTypeIDescriptor {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bDescriptorSubtype;  // kAsFormatType
    UCHAR bFormatType;         // kFormatTypeI
    UCHAR bSubslotSize;        // bytes per sample in a packet
    UCHAR bBitResolution;      // bits of each sample that carry audio
};
static_assert(sizeof(UacFormatTypeIDescriptor) == 6);
static_assert(offsetof(UacFormatTypeIDescriptor, bSubslotSize) == 4);

// MIDI-streaming endpoint: the embedded jacks (cables) the endpoint carries; their ids follow.
struct MidiStreamingEndpointDescriptor {
    UCHAR bLength;
    UCHAR bDescriptorType;     // kCsEndpoint
    UCHAR bDescriptorSubtype;  // kMsGeneral
    UCHAR bNumEmbMIDIJack;
};
static_assert(sizeof(MidiStreamingEndpointDescriptor) == 4);
#pragma pack(pop)

// An isochronous endpoint's bmAttributes: synchronisation type in bits 2-3,
// usage in bits 4-5 (bit 4 set: a feedback endpoint, explicit or implicit).
inline constexpr UCHAR kEndpointSyncTypeShift = 2;
inline constexpr UCHAR kEndpointSyncTypeMask = 0x3;
inline constexpr UCHAR kEndpointSyncSynchronous = 3;
inline constexpr UCHAR kEndpointFeedbackUsage = 0x10;

// ---- clock requests ---------------------------------------------------------------------------

inline constexpr UCHAR kRequestCur = 0x01;
inline constexpr UCHAR kRequestRange = 0x02;
// Control selectors, in the high byte of wValue. The frequency control's
// selector is also the clock selector's input-pin control.
inline constexpr USHORT kClockFrequencyControl = 0x0100;
inline constexpr USHORT kClockValidityControl = 0x0200;

#pragma pack(push, 1)
// The frequency control's RANGE reply is a u16 count of these.
struct RateSubRange {
    ULONG minimum;  // Hz
    ULONG maximum;  // Hz; equal to minimum for a discrete rate
    ULONG resolution;
};
#pragma pack(pop)
static_assert(sizeof(RateSubRange) == 12);

// ---- high-speed isochronous timing ---------------------------------------------------------------

inline constexpr ULONG kMicroframesPerFrame = 8;  // in a 1 ms frame
inline constexpr ULONG kMicroframesPerSecond = 8000;
inline constexpr UCHAR kMaxIsochronousInterval = 4;
inline constexpr ULONG kMaxIsochronousPacketBytes = 3072;  // three 1024-byte transactions per microframe

// Packets an endpoint moves in a 1 ms frame: one every 2^(bInterval-1)
// microframes, bInterval 1 to 4 (below counts as 1, above as 4).
constexpr ULONG PacketsPerFrame(UCHAR interval) {
    if (interval <= 1) return kMicroframesPerFrame;
    if (interval >= kMaxIsochronousInterval) return kMicroframesPerFrame >> (kMaxIsochronousInterval - 1);
    return kMicroframesPerFrame >> (interval - 1);
}
static_assert(PacketsPerFrame(1) == 8 && PacketsPerFrame(2) == 4 && PacketsPerFrame(3) == 2 && PacketsPerFrame(4) == 1);

// ---- USB-MIDI event packets --------------------------------------------------------------------

inline constexpr ULONG kMidiEventBytes = 4;

#pragma pack(push, 1)
struct MidiEventPacket {
    UCHAR header;   // cable << 4 | code index number
    UCHAR midi[3];  // the message's bytes; those it does not fill are 0
};
#pragma pack(pop)
static_assert(sizeof(MidiEventPacket) == kMidiEventBytes);
static_assert(offsetof(MidiEventPacket, midi) == 1);

inline constexpr UCHAR kMidiCableShift = 4;
inline constexpr UCHAR kMidiCinMask = 0x0F;

constexpr UCHAR MidiEventHeader(ULONG cable, UCHAR cin) { return static_cast<UCHAR>(cable << kMidiCableShift | cin); }
constexpr UCHAR MidiEventCable(UCHAR header) { return static_cast<UCHAR>(header >> kMidiCableShift); }
constexpr UCHAR MidiEventCin(UCHAR header) { return header & kMidiCinMask; }
static_assert(MidiEventHeader(2, 0xF) == 0x2F && MidiEventCable(0x2F) == 2 && MidiEventCin(0x2F) == 0xF);

// Code index numbers.
inline constexpr UCHAR kCinTwoByteCommon = 0x2;
inline constexpr UCHAR kCinThreeByteCommon = 0x3;
inline constexpr UCHAR kCinSysExStart = 0x4;  // or continues
inline constexpr UCHAR kCinSysExEndsWithOne = 0x5;
inline constexpr UCHAR kCinSingleByte = 0x5;  // a one-byte system common message
inline constexpr UCHAR kCinSysExEndsWithTwo = 0x6;
inline constexpr UCHAR kCinSysExEndsWithThree = 0x7;
inline constexpr UCHAR kCinRealTime = 0xF;  // a single byte

// MIDI bytes each code index number carries.
inline constexpr UCHAR kCinLength[16] = {0, 0, 2, 3, 3, 1, 2, 3, 3, 3, 3, 3, 2, 2, 3, 1};

// ---- MIDI status bytes ---------------------------------------------------------------------------

// Bit 7 marks a status; data bytes are 0x00-0x7F. The channel messages
// (0x80-0xEF) carry their channel in the low nibble, and their code index
// number is the status's high nibble.
inline constexpr UCHAR kMidiStatusBit = 0x80;
inline constexpr UCHAR kMidiChannelStatusShift = 4;
// System common messages, then the end of a system exclusive.
inline constexpr UCHAR kMidiSysExStart = 0xF0;    // data of any length up to kMidiSysExEnd
inline constexpr UCHAR kMidiTimeCode = 0xF1;      // one data byte (quarter frame)
inline constexpr UCHAR kMidiSongPosition = 0xF2;  // two data bytes
inline constexpr UCHAR kMidiSongSelect = 0xF3;    // one data byte
inline constexpr UCHAR kMidiUndefinedF4 = 0xF4;
inline constexpr UCHAR kMidiUndefinedF5 = 0xF5;
inline constexpr UCHAR kMidiTuneRequest = 0xF6;   // no data
inline constexpr UCHAR kMidiSysExEnd = 0xF7;
// 0xF8-0xFF: real-time, one byte each, allowed between the bytes of any other message.
inline constexpr UCHAR kMidiFirstRealTime = 0xF8;
