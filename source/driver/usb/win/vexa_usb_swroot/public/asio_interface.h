// The root driver's ASIO interface: the control codes on "\ASIO" handles and
// their records, shared with the ASIO driver. Input and output are the same
// buffer and every length is exact. Handle and address slots are u64 for a
// 64-bit host and a u32 at the same offset for a 32-bit one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "source/driver/usb/win/version.h"

namespace vexa::asio {

inline constexpr uint32_t kIoctlAsioGetVersion = 0x222320;
inline constexpr uint32_t kIoctlAsioGetInfo = 0x222324;
inline constexpr uint32_t kIoctlAsioOpen = 0x222328;
inline constexpr uint32_t kIoctlAsioClose = 0x22232C;
inline constexpr uint32_t kIoctlAsioCreateBuffers = 0x222330;
inline constexpr uint32_t kIoctlAsioDisposeBuffers = 0x222334;
inline constexpr uint32_t kIoctlAsioStart = 0x222338;
inline constexpr uint32_t kIoctlAsioStop = 0x22233C;
inline constexpr uint32_t kIoctlAsioGetBufferSize = 0x222340;
inline constexpr uint32_t kIoctlAsioCanSampleRate = 0x222344;
inline constexpr uint32_t kIoctlAsioSetSampleRate = 0x222348;

inline constexpr uint32_t kAsioDriverVersion = version::kPacked32;
inline constexpr uint32_t kAsioInterfaceVersion = 0x6017;

// ASIO error numbers (the published values).
inline constexpr int32_t ASE_OK = 0;
inline constexpr int32_t ASE_NotPresent = -1000;
inline constexpr int32_t ASE_InvalidParameter = -998;
inline constexpr int32_t ASE_InvalidMode = -997;
inline constexpr int32_t ASE_NoClock = -995;
inline constexpr int32_t ASE_NoMemory = -994;

inline constexpr uint32_t kAsioMaxChannels = 320;
inline constexpr uint32_t kAsioNameBytes = 32;

struct AsioRequest {
    uint64_t context;
    int32_t result;
    uint32_t value;  // sample rate in Hz where used
};
static_assert(sizeof(AsioRequest) == 16);
static_assert(offsetof(AsioRequest, result) == 8);
static_assert(offsetof(AsioRequest, value) == 12);

struct AsioVersionReply {
    uint32_t driverVersion;
    uint32_t interfaceVersion;
};
static_assert(sizeof(AsioVersionReply) == 8);

struct AsioDeviceInfo {
    int32_t result;
    uint32_t reserved;
    uint32_t sampleRate;
    uint32_t bufferSize;
    uint32_t outputLatency;
    uint32_t inputLatency;
    uint32_t outputChannels;
    uint32_t inputChannels;
    char outputNames[kAsioMaxChannels][kAsioNameBytes];
    char inputNames[kAsioMaxChannels][kAsioNameBytes];
};
static_assert(sizeof(AsioDeviceInfo) == 20512);
static_assert(offsetof(AsioDeviceInfo, outputNames) == 32);
static_assert(offsetof(AsioDeviceInfo, inputNames) == 10272);

struct AsioOpenRequest {
    uint64_t context;
    int32_t result;
    uint32_t flags;
    uint8_t reserved[8];
    uint64_t switchEvent;
    uint64_t resetEvent;
    uint64_t resyncEvent;
    uint64_t latencyEvent;
    uint64_t sharedBlock;
};
static_assert(sizeof(AsioOpenRequest) == 64);
static_assert(offsetof(AsioOpenRequest, switchEvent) == 24);
static_assert(offsetof(AsioOpenRequest, latencyEvent) == 48);
static_assert(offsetof(AsioOpenRequest, sharedBlock) == 56);

struct AsioCreateBuffersRequest {
    uint64_t context;
    int32_t result;
    uint32_t bufferSize;
    uint32_t channelCount;
    uint32_t reserved;
    uint64_t outputBuffers[kAsioMaxChannels];
    uint64_t inputBuffers[kAsioMaxChannels];
    uint32_t outputEnable[kAsioMaxChannels];
    uint32_t inputEnable[kAsioMaxChannels];
};
static_assert(sizeof(AsioCreateBuffersRequest) == 7704);
static_assert(offsetof(AsioCreateBuffersRequest, outputBuffers) == 24);
static_assert(offsetof(AsioCreateBuffersRequest, inputBuffers) == 2584);
static_assert(offsetof(AsioCreateBuffersRequest, outputEnable) == 5144);
static_assert(offsetof(AsioCreateBuffersRequest, inputEnable) == 6424);

struct AsioBufferSizeReply {
    uint64_t context;
    int32_t result;
    uint32_t minSize;
    uint32_t maxSize;
    uint32_t preferredSize;
    int32_t granularity;
    uint32_t reserved;
};
static_assert(sizeof(AsioBufferSizeReply) == 32);
static_assert(offsetof(AsioBufferSizeReply, granularity) == 24);

struct AsioSharedBlock {
    int32_t bufferIndex;
    uint32_t reserved;
    uint64_t samplePosition;
    uint64_t systemTime;  // ns
    uint32_t switchSequence;
    uint32_t switchAck;
    int32_t inputLatency;
    int32_t outputLatency;
};
static_assert(sizeof(AsioSharedBlock) == 40);
static_assert(offsetof(AsioSharedBlock, switchSequence) == 24);
static_assert(offsetof(AsioSharedBlock, outputLatency) == 36);

}  // namespace vexa::asio
