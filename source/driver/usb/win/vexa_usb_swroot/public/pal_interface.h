// The root driver's PAL interface as user mode sees it: the device-interface
// classes, the I/O control codes, the records of the version request, DCP
// commands, bus settings and notifications, and the root's own DCP commands.
// Shared with the device-access library and the tools; every offset is fixed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "source/driver/usb/win/version.h"
#include "source/driver/usb/win/vexa_usb_device/public/audio_device_interface.h"

// {6D41C2A8-7C44-4A5D-9C02-58F1A7D3E64B}: the root's ASIO interface (reference string "ASIO").
inline constexpr GUID GUID_DEVINTERFACE_ASIO = {
    0x6D41C2A8, 0x7C44, 0x4A5D, {0x9C, 0x02, 0x58, 0xF1, 0xA7, 0xD3, 0xE6, 0x4B}};

namespace vexa::pal {

// Reference strings of the two interfaces; a handle's file name is "\" plus one of them.
inline constexpr const char16_t* kPalReference = u"PAL";
inline constexpr const char16_t* kAsioReference = u"ASIO";

// CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + n, METHOD_BUFFERED, FILE_ANY_ACCESS)
constexpr uint32_t IoctlCode(uint32_t index) { return 0x222000 + 4 * index; }
inline constexpr uint32_t kIoctlGetApiVersion = 0x222000;
inline constexpr uint32_t kIoctlGetDeviceKind = 0x222004;
inline constexpr uint32_t kIoctlDcpCommand = 0x222008;
inline constexpr uint32_t kIoctlWaitNotification = 0x22200C;
static_assert(IoctlCode(3) == kIoctlWaitNotification);

inline constexpr uint32_t kIoctlAPIVersion = 0x7001;
inline constexpr uint32_t kIoctlMinCompatibleAPIVersion = 0x7001;

// PackedVersion: bits 52-55 major, 44-51 minor, 32-43 sub-minor, 0-31 build;
// bit 63 clear marks a local build, bit 61 set a beta.
inline constexpr uint64_t kDriverVersion = version::kPacked;
constexpr uint32_t VersionMajor(uint64_t v) { return static_cast<uint32_t>((v >> 52) & 0xF); }
constexpr uint32_t VersionMinor(uint64_t v) { return static_cast<uint32_t>((v >> 44) & 0xFF); }
constexpr uint32_t VersionSub(uint64_t v) { return static_cast<uint32_t>((v >> 32) & 0xFFF); }
constexpr uint32_t VersionBuild(uint64_t v) { return static_cast<uint32_t>(v & 0xFFFFFFFF); }
constexpr bool VersionIsLocal(uint64_t v) { return (v >> 63) == 0; }
constexpr bool VersionIsBeta(uint64_t v) { return ((v >> 61) & 1) != 0; }
// The readers undo the version header's packing.
static_assert(VersionMajor(kDriverVersion) == version::kMajor && VersionMinor(kDriverVersion) == version::kMinor &&
              VersionSub(kDriverVersion) == version::kSubMinor && VersionBuild(kDriverVersion) == version::kBuild &&
              !VersionIsLocal(kDriverVersion) && !VersionIsBeta(kDriverVersion));

struct ApiVersionReply {
    uint32_t ioctlAPIVersion;
    uint32_t ioctlMinCompatibleAPIVersion;
    uint64_t driverVersion;
};
static_assert(sizeof(ApiVersionReply) == 16);
static_assert(offsetof(ApiVersionReply, ioctlMinCompatibleAPIVersion) == 4);
static_assert(offsetof(ApiVersionReply, driverVersion) == 8);

// kIoctlGetDeviceKind: 8 output bytes, the kind at +4.
inline constexpr uint32_t kDeviceKindBytes = 8;
inline constexpr uint32_t kDeviceKindOffset = 4;
inline constexpr uint32_t kDeviceKindUsb = 0x400;

// kIoctlDcpCommand input; the data follows at +16.
struct DcpRequest {
    uint64_t target;  // 0 = the bus (forwarded: its current device), else a listed device's id
    uint16_t category;
    uint16_t command;
    uint32_t reserved;
};
static_assert(sizeof(DcpRequest) == 16);
static_assert(offsetof(DcpRequest, category) == 8);
static_assert(offsetof(DcpRequest, command) == 10);
static_assert(offsetof(DcpRequest, reserved) == 12);

// kIoctlDcpCommand output, written over the request; the data follows at +8.
struct DcpReply {
    uint32_t status;  // DCP result; for the root's own commands 0 done, 1 not implemented
    uint32_t size;    // reply bytes; written for forwarded commands only
};
static_assert(sizeof(DcpReply) == 8);
static_assert(offsetof(DcpReply, size) == 4);

inline constexpr uint32_t kDcpStatusDone = 0;
inline constexpr uint32_t kDcpStatusNotImplemented = 1;

// The root's own commands (category kDcpCategoryBus).
inline constexpr uint16_t kDcpBusRegisterClient = 1;
inline constexpr uint16_t kDcpBusUnregisterClient = 2;
inline constexpr uint16_t kDcpBusGetSettings = 4;
inline constexpr uint16_t kDcpBusSetSampleRate = 5;
inline constexpr uint16_t kDcpBusSetClockSource = 6;
inline constexpr uint16_t kDcpBusSetOperationMode = 7;
inline constexpr uint16_t kDcpBusSetBufferSize = 9;
inline constexpr uint16_t kDcpBusGetClientCounts = 11;

inline constexpr uint32_t kMaxBusDevices = 5;

// The data of the kDcpBusGetSettings reply (at reply offset 8).
struct BusSettingsBlock {
    uint64_t currentDeviceId;  // 0 = no device
    uint32_t clockSource;
    uint32_t sampleRate;       // Hz
    uint32_t operationMode;    // 0-4
    uint32_t bufferSize;       // frames
    uint32_t minBufferSize;    // frames
    uint32_t maxBufferSize;    // frames
    uint32_t outputChannels;
    uint32_t inputChannels;
    uint64_t deviceIds[kMaxBusDevices];
    uint32_t deviceCount;
    uint32_t reserved;
};
static_assert(sizeof(BusSettingsBlock) == 88);
static_assert(offsetof(BusSettingsBlock, clockSource) == 8);
static_assert(offsetof(BusSettingsBlock, sampleRate) == 12);
static_assert(offsetof(BusSettingsBlock, operationMode) == 16);
static_assert(offsetof(BusSettingsBlock, bufferSize) == 20);
static_assert(offsetof(BusSettingsBlock, minBufferSize) == 24);
static_assert(offsetof(BusSettingsBlock, maxBufferSize) == 28);
static_assert(offsetof(BusSettingsBlock, outputChannels) == 32);
static_assert(offsetof(BusSettingsBlock, inputChannels) == 36);
static_assert(offsetof(BusSettingsBlock, deviceIds) == 40);
static_assert(offsetof(BusSettingsBlock, deviceCount) == 80);
static_assert(offsetof(BusSettingsBlock, reserved) == 84);

// The data of the kDcpBusGetClientCounts reply.
struct ClientCounts {
    uint32_t asioClients;    // ASIO clients of 64-bit and 32-bit hosts
    uint32_t kernelClients;  // the WDM child's render and capture streams
};
static_assert(sizeof(ClientCounts) == 8);
static_assert(offsetof(ClientCounts, kernelClients) == 4);

// kIoctlWaitNotification output.
struct PalNotification {
    uint32_t kind;
    uint32_t param32;  // kind 32: the device's notification bits
    uint64_t param64;  // kind 32: the device's id (as in BusSettingsBlock)
};
static_assert(sizeof(PalNotification) == 16);
static_assert(offsetof(PalNotification, param32) == 4);
static_assert(offsetof(PalNotification, param64) == 8);

inline constexpr uint32_t kPalNotifyDeviceArrival = 1;
inline constexpr uint32_t kPalNotifyDeviceRemoval = 2;
inline constexpr uint32_t kPalNotifyBusChanged = 8;
inline constexpr uint32_t kPalNotifyDeviceEvent = 32;

}  // namespace vexa::pal
