// The direct-call interface between the USB function driver and the root
// driver: the 104-byte AUDIODEVICE_INTERFACE record obtained by
// query-interface, the DCP command and result codes, and the records both
// drivers read and write (ClockSetRequest, ClockGetReply, StreamFormat, StreamState,
// RingPacket). The layout is fixed; every offset is checked below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/kernel/nt_types.h"

// {6D41C2A8-0B93-4F70-9C02-58F1A7D3E64B}: the USB function driver's device interface.
inline constexpr GUID GUID_DEVINTERFACE_AUDIODEVICE = {
    0x6D41C2A8, 0x0B93, 0x4F70, {0x9C, 0x02, 0x58, 0xF1, 0xA7, 0xD3, 0xE6, 0x4B}};
// {6D41C2A8-3B57-4E19-9C02-58F1A7D3E64B}: the direct-call interface type (also the root's PAL interface class).
inline constexpr GUID GUID_DEVINTERFACE_PAL = {
    0x6D41C2A8, 0x3B57, 0x4E19, {0x9C, 0x02, 0x58, 0xF1, 0xA7, 0xD3, 0xE6, 0x4B}};

inline constexpr USHORT kAudioDeviceInterfaceSize = 104;
inline constexpr USHORT kAudioDeviceInterfaceVersion = 0x0101;

// u32 (NotifyContext, ClientDevice, type, value)
using PFN_AUDIODEVICE_NOTIFICATION = ULONG (*)(PVOID notifyContext, PVOID clientDevice, ULONG type, ULONG value);
// (RealtimeContext, time in ns, frames); runs at DISPATCH_LEVEL
using PFN_AUDIODEVICE_REALTIME = void (*)(PVOID realtimeContext, ULONG64 timeNs, ULONG frames);
// (MidiContext, direction, cable, word, count)
using PFN_AUDIODEVICE_MIDI = NTSTATUS (*)(PVOID midiContext, UCHAR direction, UCHAR cable, ULONG* word, UCHAR count);
// (CommandContext, category, command, in, inLength, out, outLength) -> DCP result
using PFN_AUDIODEVICE_COMMAND = ULONG (*)(PVOID commandContext, USHORT category, USHORT command, PVOID in,
                                          ULONG64 inLength, PVOID out, ULONG64* outLength);
using PFN_AUDIODEVICE_REFERENCE = void (*)(PVOID context);

struct AUDIODEVICE_INTERFACE {
    // The Windows INTERFACE header.
    USHORT Size;
    USHORT Version;
    ULONG Reserved;
    PVOID Context;
    PFN_AUDIODEVICE_REFERENCE InterfaceReference;
    PFN_AUDIODEVICE_REFERENCE InterfaceDereference;
    // Filled by the USB driver at acceptance.
    PVOID CommandContext;
    // Filled by the root driver before the query.
    PVOID ClientDevice;
    PVOID RealtimeContext;
    PVOID NotifyContext;
    PVOID MidiContext;
    PFN_AUDIODEVICE_NOTIFICATION NotificationCallback;
    PFN_AUDIODEVICE_REALTIME RealtimeCallback;
    PFN_AUDIODEVICE_MIDI MidiCallback;
    PFN_AUDIODEVICE_COMMAND CommandEntry;
};
static_assert(sizeof(AUDIODEVICE_INTERFACE) == kAudioDeviceInterfaceSize);
static_assert(offsetof(AUDIODEVICE_INTERFACE, Version) == 2);
static_assert(offsetof(AUDIODEVICE_INTERFACE, Context) == 8);
static_assert(offsetof(AUDIODEVICE_INTERFACE, InterfaceReference) == 16);
static_assert(offsetof(AUDIODEVICE_INTERFACE, InterfaceDereference) == 24);
static_assert(offsetof(AUDIODEVICE_INTERFACE, CommandContext) == 32);
static_assert(offsetof(AUDIODEVICE_INTERFACE, ClientDevice) == 40);
static_assert(offsetof(AUDIODEVICE_INTERFACE, RealtimeContext) == 48);
static_assert(offsetof(AUDIODEVICE_INTERFACE, NotifyContext) == 56);
static_assert(offsetof(AUDIODEVICE_INTERFACE, MidiContext) == 64);
static_assert(offsetof(AUDIODEVICE_INTERFACE, NotificationCallback) == 72);
static_assert(offsetof(AUDIODEVICE_INTERFACE, RealtimeCallback) == 80);
static_assert(offsetof(AUDIODEVICE_INTERFACE, MidiCallback) == 88);
static_assert(offsetof(AUDIODEVICE_INTERFACE, CommandEntry) == 96);

// ---- DCP results (u32) -------------------------------------------------------------

inline constexpr ULONG kUsbResultOk = 0;
inline constexpr ULONG kUsbResultFailed = 1;
inline constexpr ULONG kUsbResultTimeout = 2;
inline constexpr ULONG kUsbResultHeaderMismatch = 5;
inline constexpr ULONG kUsbResultTooLarge = 6;
inline constexpr ULONG kUsbResultBufferTooSmall = 8;
inline constexpr ULONG kUsbResultChannelClosed = 9;
inline constexpr ULONG kUsbResultSequenceMismatch = 10;
inline constexpr ULONG kUsbResultNotConnected = 11;
inline constexpr ULONG kUsbResultNotReady = 12;

// ---- DCP categories and commands ---------------------------------------------------

inline constexpr USHORT kDcpCategoryGlobal = 0;
inline constexpr USHORT kDcpCategoryClock = 6;
inline constexpr USHORT kDcpCategoryBus = 0x400;
inline constexpr USHORT kDcpCategoryUsbDevice = 0x401;

inline constexpr USHORT kDcpGlobalResync = 0;

inline constexpr USHORT kDcpClockListSources = 0;
inline constexpr USHORT kDcpClockListRates = 1;
inline constexpr USHORT kDcpClockGet = 2;
inline constexpr USHORT kDcpClockSet = 3;

inline constexpr USHORT kUsbCmdGetInterfaceVersion = 0;
inline constexpr USHORT kUsbCmdOpenVendorChannel = 1;
inline constexpr USHORT kUsbCmdSetStreaming = 6;
inline constexpr USHORT kUsbCmdSetStreamFormat = 7;
inline constexpr USHORT kUsbCmdGetStreamFormat = 8;
inline constexpr USHORT kUsbCmdMapStreamState = 9;
inline constexpr USHORT kUsbCmdNop = 10;
inline constexpr USHORT kUsbCmdGetLatency = 13;
inline constexpr USHORT kUsbCmdMidiOutKick = 14;
inline constexpr USHORT kUsbCmdMidiEnable = 15;
inline constexpr USHORT kUsbCmdGetProductString = 17;
inline constexpr USHORT kUsbCmdSetOperationMode = 18;
inline constexpr USHORT kUsbCmdQueryBusy = 19;

inline constexpr ULONG kUsbInterfaceVersion = 0xF002;
inline constexpr ULONG kUsbInterfaceMinCompatibleVersion = 0xF000;

// ---- clock records ---------------------------------------------------------------------

// DCP 6/3 (kDcpClockSet) input: the rate to run and the clock source to run it from.
struct ClockSetRequest {
    ULONG sampleRate;    // Hz
    USHORT clockSource;  // the source's clock entity id (8 bits on the USB bus)
    USHORT reserved;     // 0
};
static_assert(sizeof(ClockSetRequest) == 8);
static_assert(offsetof(ClockSetRequest, clockSource) == 4);
static_assert(offsetof(ClockSetRequest, reserved) == 6);
// The USB function driver reads the rate and the clock source only; a
// request without the reserved word is whole.
inline constexpr ULONG kClockSetRequestMinBytes = offsetof(ClockSetRequest, reserved);

// DCP 6/2 (kDcpClockGet) reply: the rate running and the clock source it
// runs from, in the set request's layout.
struct ClockGetReply {
    ULONG sampleRate;    // Hz
    USHORT clockSource;  // the source's clock entity id
    USHORT reserved;     // 0
};
static_assert(sizeof(ClockGetReply) == 8);
static_assert(offsetof(ClockGetReply, clockSource) == 4);
static_assert(offsetof(ClockGetReply, reserved) == 6);
// The USB function driver writes the rate and the clock source; a reply
// buffer without room for the reserved word still takes them.
inline constexpr ULONG kClockGetReplyMinBytes = offsetof(ClockGetReply, reserved);

// ---- notifications ---------------------------------------------------------------------

inline constexpr ULONG kNotifyTypeDeviceBits = 0;
inline constexpr ULONG kNotifyTypePower = 2;
inline constexpr ULONG kPowerLeftForGood = 3;   // D3 final
inline constexpr ULONG kPowerSleeping = 4;      // D1, D2, D3 or hibernation
inline constexpr ULONG kPowerBackInD0 = 5;

inline constexpr UCHAR kMidiDirectionOut = 1;
inline constexpr UCHAR kMidiDirectionIn = 2;

// A word through PFN_AUDIODEVICE_MIDI: up to three MIDI bytes in bits 0-23,
// first byte lowest, and their count from bit 24; a word the root hands out
// also carries its cable from bit 28.
inline constexpr ULONG kMidiWordCountShift = 24;
inline constexpr ULONG kMidiWordCountMask = 0x3;
inline constexpr ULONG kMidiWordCableShift = 28;

// ---- streaming records -------------------------------------------------------------------

// DCP 0x401/7 input and 0x401/8 output.
struct StreamFormat {
    ULONG sampleRate;     // Hz
    USHORT clockSource;
    USHORT reserved1;
    ULONG operationMode;  // 0-4
    ULONG reserved2;
    ULONG periodFrames;
    ULONG outputChannels;
    ULONG inputChannels;
};
static_assert(sizeof(StreamFormat) == 28);
static_assert(offsetof(StreamFormat, operationMode) == 8);
static_assert(offsetof(StreamFormat, periodFrames) == 16);
static_assert(offsetof(StreamFormat, inputChannels) == 24);

// One isochronous packet of a stream; the packets form one circle in buffer order.
struct RingPacket {
    LONG* data;        // interleaved 32-bit samples
    ULONG frames;
    ULONG urbIndex;
    ULONG samples;     // frames x channels
    ULONG reserved;
    RingPacket* next;
};
static_assert(sizeof(RingPacket) == 32);
static_assert(offsetof(RingPacket, frames) == 8);
static_assert(offsetof(RingPacket, samples) == 16);
static_assert(offsetof(RingPacket, next) == 24);

// Shared by address (0x401/9): positions count interleaved samples from the
// start of the named packet. The USB driver writes the cursors after each
// period; the clients write the ends inside the period callback.
struct StreamState {
    RingPacket* captureCursorPacket;
    ULONG reserved8;
    ULONG captureEndPosition;
    RingPacket* captureEndPacket;
    ULONG64 reserved24;
    ULONG captureRingBytes;
    ULONG reserved36;
    ULONG captureChannels;
    ULONG capturePeriodFrames;
    ULONG capturePeriodSamples;
    ULONG captureCursorPosition;
    ULONG64 reserved56;
    RingPacket* playbackCursorPacket;
    ULONG playbackEndPosition;
    ULONG reserved76;
    RingPacket* playbackEndPacket;
    ULONG64 reserved88;
    ULONG playbackRingBytes;
    ULONG reserved100;
    ULONG playbackChannels;
    ULONG playbackPeriodFrames;
    ULONG playbackPeriodSamples;
    ULONG reserved116;
    ULONG playbackCursorPosition;
    ULONG reserved124[3];
};
static_assert(sizeof(StreamState) == 136);
static_assert(offsetof(StreamState, captureEndPosition) == 12);
static_assert(offsetof(StreamState, captureEndPacket) == 16);
static_assert(offsetof(StreamState, captureRingBytes) == 32);
static_assert(offsetof(StreamState, captureChannels) == 40);
static_assert(offsetof(StreamState, capturePeriodFrames) == 44);
static_assert(offsetof(StreamState, capturePeriodSamples) == 48);
static_assert(offsetof(StreamState, captureCursorPosition) == 52);
static_assert(offsetof(StreamState, playbackCursorPacket) == 64);
static_assert(offsetof(StreamState, playbackEndPosition) == 72);
static_assert(offsetof(StreamState, playbackEndPacket) == 80);
static_assert(offsetof(StreamState, playbackRingBytes) == 96);
static_assert(offsetof(StreamState, playbackChannels) == 104);
static_assert(offsetof(StreamState, playbackPeriodFrames) == 108);
static_assert(offsetof(StreamState, playbackPeriodSamples) == 112);
static_assert(offsetof(StreamState, playbackCursorPosition) == 120);

// SafetyFrames(rate, mode) = rate x k / 1000 with k = 2, 3, 6, 7, 8 ms for modes 0-4 (6 otherwise).
constexpr ULONG SafetyFrames(ULONG rate, ULONG mode) {
    constexpr ULONG kSafetyMs[] = {2, 3, 6, 7, 8};
    ULONG k = mode < 5 ? kSafetyMs[mode] : 6;
    return rate * k / 1000;
}
static_assert(SafetyFrames(48000, 2) - 48000 / 1000 == 240);
