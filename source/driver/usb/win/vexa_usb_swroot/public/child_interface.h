// The root driver's interface with the outside drivers that load on its child
// devices: the request codes on the child PDOs, the records they carry and
// the functions both sides hand each other. The layouts are fixed (packed,
// pointers as 64-bit kernel addresses); input and output are one buffer, so a
// reply is written over its request.
#pragma once

#include <cstddef>
#include <cstdint>

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

inline constexpr uint32_t kChildDriverVersion = 0x8432BB7F;  // 4.3.2.47999, 32-bit form
inline constexpr uint32_t kWdmInterfaceVersion = 0x9007;
inline constexpr uint32_t kMidiInterfaceVersion = 0x8005;

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

#pragma pack(pop)

// The functions' shapes, as both sides call them.
using MidiKickFn = int32_t (*)(void* midiDevice, uint32_t port);
using MidiEnableFn = int32_t (*)(void* ignored, void* midiDevice, uint32_t port, uint8_t enable);
using MidiClosePortFn = int32_t (*)(void* midiDevice, uint32_t port);
using MidiPullFn = uint32_t (*)(void* context, uint32_t* byte);
using MidiInputFn = void (*)(void* context, uint16_t byte, uint64_t timeStamp);
using MidiCloseFn = void (*)(void* context);

}  // namespace vexa::child
