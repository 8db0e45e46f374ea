// The root driver's interface with the outside drivers that load on its child
// devices: the request codes on the child PDOs, the records they carry and
// the functions both sides hand each other. The layouts are fixed (packed,
// pointers as 64-bit kernel addresses); input and output are one buffer, so a
// reply is written over its request.
#pragma once

#include <cstddef>
#include <cstdint>

#include "source/driver/usb/win/version.h"

namespace vexa::child {

// Internal device controls of the WDM audio (adapter) child.
inline constexpr uint32_t kIoctlWdmGetVersion = 0x220190;
inline constexpr uint32_t kIoctlWdmOpenStream = 0x220198;
inline constexpr uint32_t kIoctlWdmCanChangeFormat = 0x2201A0;
inline constexpr uint32_t kIoctlWdmSetSpeakerConfig = 0x2201A4;
inline constexpr uint32_t kIoctlWdmOpen = 0x2201AC;

// Device controls of the MIDI children.
inline constexpr uint32_t kIoctlMidiGetVersion = 0x220258;
inline constexpr uint32_t kIoctlMidiGetInfo = 0x22025C;
inline constexpr uint32_t kIoctlMidiOpenPort = 0x220260;

inline constexpr uint32_t kChildDriverVersion = version::kPacked32;
inline constexpr uint32_t kWdmInterfaceVersion = 0x9007;
inline constexpr uint32_t kMidiInterfaceVersion = 0x8005;

// The WDM audio child's stream directions, stream states and adapter events.
inline constexpr uint32_t kWdmCapture = 0;
inline constexpr uint32_t kWdmRender = 1;
inline constexpr uint32_t kWdmStateStop = 0;   // the stream leaves the period callback
inline constexpr uint32_t kWdmStateRun = 2;    // the stream takes part in every period
// The adapter's notification comes as a pair, always in this order, when the
// engine's rate or channel counts change, or the device changes or goes
// while streams are open: what the child read at its opens may no longer hold.
inline constexpr uint32_t kWdmEventChangeBegin = 0;
inline constexpr uint32_t kWdmEventChangeEnd = 1;
inline constexpr uint32_t kWdmMaxChannels = 48;

inline constexpr uint32_t kMidiKindIn = 34;
inline constexpr uint32_t kMidiKindOut = 18;
inline constexpr uint32_t kMidiMaxPorts = 16;
// A pull that found no byte (the USB function driver reads it as "none").
inline constexpr int32_t kNoMidiData = static_cast<int32_t>(0x80000022);

#pragma pack(push, 1)

struct VersionReply {
    uint32_t driverVersion;     // kChildDriverVersion
    uint32_t interfaceVersion;  // kWdmInterfaceVersion or kMidiInterfaceVersion
};
static_assert(sizeof(VersionReply) == 8);

// kIoctlMidiGetInfo, written by the root driver. Entries beyond portCount keep what the buffer held.
struct MidiInfo {
    uint32_t portCount;
    uint32_t kind;             // kMidiKindIn or kMidiKindOut
    uint64_t deviceId;         // the device's 64-bit id
    uint64_t friendlyName[kMidiMaxPorts];      // address of each port's NUL-terminated wide name
    uint64_t instanceId[kMidiMaxPorts];        // address of each port's wide instance id
    uint32_t instanceIdBytes[kMidiMaxPorts];   // its length in bytes, without the NUL
};
static_assert(sizeof(MidiInfo) == 336);
static_assert(offsetof(MidiInfo, deviceId) == 8);
static_assert(offsetof(MidiInfo, friendlyName) == 16);
static_assert(offsetof(MidiInfo, instanceId) == 144);
static_assert(offsetof(MidiInfo, instanceIdBytes) == 272);

// kIoctlMidiOpenPort: "in" fields the child writes, "out" fields the root driver writes.
struct MidiOpenPort {
    uint64_t kick;        // out: MidiKick(MidiDevice, u32 port) -> NTSTATUS
    uint64_t pull;        // in: u32 pull(context, u32* byte), nonzero when it delivered a byte
    uint64_t enable;      // out: MidiEnable(ignored, MidiDevice, u32 port, u8 enable) -> NTSTATUS
    uint64_t input;       // in: void input(context, u16 byte, u64 time stamp in 100 ns)
    uint64_t close;       // in: void close(context)
    uint64_t closePort;   // out: MidiClosePort(MidiDevice, u32 port) -> NTSTATUS
    uint32_t port;        // in: the port index
    uint64_t context;     // in: first argument of the child's three functions
    uint64_t midiDevice;  // out: first argument of kick and closePort, second of enable
};
static_assert(sizeof(MidiOpenPort) == 68);
static_assert(offsetof(MidiOpenPort, port) == 48);
static_assert(offsetof(MidiOpenPort, context) == 52);
static_assert(offsetof(MidiOpenPort, midiDevice) == 60);

// kIoctlWdmOpen.
struct WdmOpen {
    uint64_t notify;          // in: void notify(context, u32 event), nonzero
    uint64_t closeStream;     // out: WdmCloseStream(stream) -> NTSTATUS
    uint64_t closeAdapter;    // out: WdmCloseAdapter(adapter) -> NTSTATUS
    uint64_t notifyContext;   // in: nonzero
    uint64_t adapter;         // out: named by every later request of the child
    uint32_t speakerConfig;   // out
    uint32_t renderBitDepth;  // out
    uint32_t captureBitDepth; // out
    uint32_t outputChannels;  // out: of the current device at the engine's rate
    uint32_t inputChannels;   // out
    uint32_t lowestRate;      // out: Hz, of the current device
    uint32_t highestRate;     // out
    uint32_t unused;
};
static_assert(sizeof(WdmOpen) == 72);
static_assert(offsetof(WdmOpen, notifyContext) == 24);
static_assert(offsetof(WdmOpen, adapter) == 32);
static_assert(offsetof(WdmOpen, speakerConfig) == 40);
static_assert(offsetof(WdmOpen, highestRate) == 64);

// kIoctlWdmOpenStream. The reply puts two function addresses over the first
// four words of the request (see the offsets below).
struct WdmOpenStream {
    uint32_t channelCount;     // in
    uint32_t bitsPerSample;    // in: 16 or 24
    uint32_t direction;        // in: kWdmRender or kWdmCapture
    uint32_t sampleRate;       // in: Hz
    uint64_t streamCallback;   // in: void callback(context, u32 bytes), once per period
    uint64_t streamContext;    // in
    uint8_t unused32[16];
    uint64_t adapter;          // in: from kIoctlWdmOpen
    uint64_t unused56;
    uint64_t stream;           // out: first argument of the stream functions; 0 after a failure
    uint8_t unused72;
};
static_assert(sizeof(WdmOpenStream) == 73);
static_assert(offsetof(WdmOpenStream, streamCallback) == 16);
static_assert(offsetof(WdmOpenStream, adapter) == 48);
static_assert(offsetof(WdmOpenStream, stream) == 64);
inline constexpr size_t kWdmStreamTransferOffset = 0;  // out: u64 WdmStreamTransfer over the channel count and bits
inline constexpr size_t kWdmStreamSetStateOffset = 8;  // out: u64 WdmStreamSetState over the direction and rate

// kIoctlWdmCanChangeFormat.
struct WdmFormatQuery {
    uint32_t currentRate;  // out: Hz
    uint32_t direction;    // in: nonzero render, 0 capture
    uint32_t mayChange;    // out: 1 or 0
    uint64_t adapter;      // in
};
static_assert(sizeof(WdmFormatQuery) == 20);
static_assert(offsetof(WdmFormatQuery, adapter) == 12);

// kIoctlWdmSetSpeakerConfig.
struct WdmSpeakerConfig {
    uint64_t adapter;
    uint32_t value;
};
static_assert(sizeof(WdmSpeakerConfig) == 12);

#pragma pack(pop)

// The functions' shapes, as both sides call them.
using MidiKickFn = int32_t (*)(void* midiDevice, uint32_t port);
using MidiEnableFn = int32_t (*)(void* ignored, void* midiDevice, uint32_t port, uint8_t enable);
using MidiClosePortFn = int32_t (*)(void* midiDevice, uint32_t port);
using MidiPullFn = uint32_t (*)(void* context, uint32_t* byte);
using MidiInputFn = void (*)(void* context, uint16_t byte, uint64_t timeStamp);
using MidiCloseFn = void (*)(void* context);

// The WDM audio child's: its notification (PASSIVE_LEVEL, never inside one of
// its own requests) and its per-period function (DISPATCH_LEVEL, with the
// bytes it is to transfer now); the root driver's, which it calls.
using WdmNotifyFn = void (*)(void* context, uint32_t event);
using WdmStreamCallbackFn = void (*)(void* context, uint32_t bytes);
using WdmCloseAdapterFn = int32_t (*)(void* adapter);
using WdmCloseStreamFn = int32_t (*)(void* stream);
using WdmStreamTransferFn = void (*)(void* stream, uint8_t* buffer, uint32_t bytes);
using WdmStreamSetStateFn = int32_t (*)(void* stream, uint32_t state);

}  // namespace vexa::child
