// The host-side ASIO driver interface as this system implements and its test
// hosts call it: the IASIO slots in their order with the arguments in their
// order, the host's callbacks, the records passed across, the sample type,
// the error numbers and the selectors of `future` and of the host's message
// callback. The interface's "long" is 32 bits (as on 64-bit Windows), so
// every integer here has a fixed width; a double is the IEEE 64-bit one.
//
// Values the interface publishes are given where the system relies on them.
// A few values are used by the driver without being fixed by anything it
// talks to; those carry "(our choice)" below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32/objbase.h"
#include "source/driver/usb/win/vexa_usb_swroot/public/asio_interface.h"

// The interface's own names live in the global namespace, where hosts expect
// them; what is this driver's alone is in vexa::asio at the end.

using ASIOBool = int32_t;
using ASIOError = int32_t;
using ASIOSampleRate = double;  // Hz
using ASIOSampleType = int32_t;

inline constexpr ASIOBool ASIOFalse = 0;
inline constexpr ASIOBool ASIOTrue = 1;

// Error numbers. The root's requests carry the same ones in their result
// fields, so they are the root's own constants (one entity under either
// name). ASE_SUCCESS is what a `future` selector answers when the driver does
// what it asks; ASE_OK is every other call's success.
using vexa::asio::ASE_InvalidMode;
using vexa::asio::ASE_InvalidParameter;
using vexa::asio::ASE_NoClock;
using vexa::asio::ASE_NoMemory;
using vexa::asio::ASE_NotPresent;
using vexa::asio::ASE_OK;
inline constexpr ASIOError ASE_SUCCESS = 0x3F4847A0;
inline constexpr ASIOError ASE_HWMalfunction = -999;
inline constexpr ASIOError ASE_SPNotAdvancing = -996;

// Samples as 32-bit signed integers, least significant byte first: the one
// type this driver's buffers carry.
inline constexpr ASIOSampleType ASIOSTInt32LSB = 18;

// A 64-bit count of samples or nanoseconds in two 32-bit words.
struct ASIOSamples {
    uint32_t hi;
    uint32_t lo;
};
static_assert(sizeof(ASIOSamples) == 8);

struct ASIOTimeStamp {  // nanoseconds
    uint32_t hi;
    uint32_t lo;
};
static_assert(sizeof(ASIOTimeStamp) == 8);

// One channel's double buffer: the host fills `isInput` and `channelNum`,
// createBuffers fills both halves' addresses.
struct ASIOBufferInfo {
    ASIOBool isInput;
    int32_t channelNum;
    void* buffers[2];
};
static_assert(sizeof(ASIOBufferInfo) == 24);
static_assert(offsetof(ASIOBufferInfo, buffers) == 8);

// The host fills `channel` and `isInput`; getChannelInfo fills the rest but
// leaves `channelGroup` as the host set it.
struct ASIOChannelInfo {
    int32_t channel;
    ASIOBool isInput;
    ASIOBool isActive;
    int32_t channelGroup;
    ASIOSampleType type;
    char name[32];
};
static_assert(sizeof(ASIOChannelInfo) == 52);
static_assert(offsetof(ASIOChannelInfo, name) == 20);

struct ASIOClockSource {
    int32_t index;
    int32_t associatedChannel;  // -1: none in particular
    int32_t associatedGroup;    // -1: none in particular
    ASIOBool isCurrentSource;
    char name[32];
};
static_assert(sizeof(ASIOClockSource) == 48);
static_assert(offsetof(ASIOClockSource, name) == 16);

// ASIOTimeInfo flags.
inline constexpr uint32_t kSystemTimeValid = 1;      // (our choice: the three valid flags are 7 together)
inline constexpr uint32_t kSamplePositionValid = 2;  // (our choice)
inline constexpr uint32_t kSampleRateValid = 4;      // (our choice)
inline constexpr uint32_t kSampleRateChanged = 0x10;
inline constexpr uint32_t kClockSourceChanged = 0x20;

struct ASIOTimeInfo {
    double speed;  // 1.0: nominal
    ASIOTimeStamp systemTime;
    ASIOSamples samplePosition;
    ASIOSampleRate sampleRate;
    uint32_t flags;
    char reserved[12];
};
static_assert(sizeof(ASIOTimeInfo) == 48);
static_assert(offsetof(ASIOTimeInfo, sampleRate) == 24);
static_assert(offsetof(ASIOTimeInfo, flags) == 32);

struct ASIOTimeCode {
    double speed;
    ASIOSamples timeCodeSamples;
    uint32_t flags;
    char future[64];
};
static_assert(sizeof(ASIOTimeCode) == 88);

// Handed to bufferSwitchTimeInfo with each switch in time-info mode.
struct ASIOTime {
    int32_t reserved[4];
    ASIOTimeInfo timeInfo;
    ASIOTimeCode timeCode;
};
static_assert(sizeof(ASIOTime) == 152);
static_assert(offsetof(ASIOTime, timeInfo) == 16);
static_assert(offsetof(ASIOTime, timeCode) == 64);

// The host's entries, given to createBuffers. Any of them may be null; the
// driver calls none that is.
struct ASIOCallbacks {
    void (*bufferSwitch)(int32_t doubleBufferIndex, ASIOBool directProcess);
    void (*sampleRateDidChange)(ASIOSampleRate rate);
    int32_t (*asioMessage)(int32_t selector, int32_t value, void* message, double* opt);
    ASIOTime* (*bufferSwitchTimeInfo)(ASIOTime* params, int32_t doubleBufferIndex, ASIOBool directProcess);
};
static_assert(sizeof(ASIOCallbacks) == 32);

// Selectors of the host's asioMessage. kAsioSelectorSupported asks whether
// the selector in `value` is understood (nonzero: yes).
inline constexpr int32_t kAsioSelectorSupported = 1;  // (our choice)
inline constexpr int32_t kAsioEngineVersion = 2;      // (our choice)
inline constexpr int32_t kAsioResetRequest = 3;
inline constexpr int32_t kAsioBufferSizeChange = 4;   // (our choice)
inline constexpr int32_t kAsioResyncRequest = 5;
inline constexpr int32_t kAsioLatenciesChanged = 6;
inline constexpr int32_t kAsioSupportsTimeInfo = 7;   // (our choice)
inline constexpr int32_t kAsioSupportsTimeCode = 8;   // (our choice)
inline constexpr int32_t kAsioOverload = 15;          // (our choice)

// Selectors of IASIO::future.
inline constexpr int32_t kAsioEnableTimeCodeRead = 1;
inline constexpr int32_t kAsioDisableTimeCodeRead = 2;
inline constexpr int32_t kAsioSetInputMonitor = 3;
inline constexpr int32_t kAsioTransport = 4;
inline constexpr int32_t kAsioSetInputGain = 5;
inline constexpr int32_t kAsioGetInputMeter = 6;
inline constexpr int32_t kAsioSetOutputGain = 7;
inline constexpr int32_t kAsioGetOutputMeter = 8;
inline constexpr int32_t kAsioCanInputMonitor = 9;
inline constexpr int32_t kAsioCanTimeInfo = 10;
inline constexpr int32_t kAsioCanTimeCode = 11;
inline constexpr int32_t kAsioCanTransport = 12;
inline constexpr int32_t kAsioCanInputGain = 13;
inline constexpr int32_t kAsioCanInputMeter = 14;
inline constexpr int32_t kAsioCanOutputGain = 15;
inline constexpr int32_t kAsioCanOutputMeter = 16;
inline constexpr int32_t kAsioSetIoFormat = 0x23111961;
inline constexpr int32_t kAsioGetIoFormat = 0x23111983;
inline constexpr int32_t kAsioCanDoIoFormat = 0x23112004;
inline constexpr int32_t kAsioCanReportOverload = 0x24042012;
inline constexpr int32_t kAsioGetInternalBufferSamples = 0x25042012;

// What the host's buffers for getDriverName and getErrorMessage hold,
// terminator included (our choice: nothing fixes them).
inline constexpr size_t kAsioDriverNameBytes = 32;
inline constexpr size_t kAsioErrorMessageBytes = 124;

// The driver object as a host sees it, in slot order: IUnknown's three (a
// host asks for this interface with the driver's class id as the interface
// id), then the driver's 21 entries.
struct IASIO : IUnknown {
    virtual ASIOBool STDMETHODCALLTYPE init(void* sysHandle) = 0;
    virtual void STDMETHODCALLTYPE getDriverName(char* name) = 0;
    virtual int32_t STDMETHODCALLTYPE getDriverVersion() = 0;
    virtual void STDMETHODCALLTYPE getErrorMessage(char* text) = 0;
    virtual ASIOError STDMETHODCALLTYPE start() = 0;
    virtual ASIOError STDMETHODCALLTYPE stop() = 0;
    virtual ASIOError STDMETHODCALLTYPE getChannels(int32_t* numInputChannels, int32_t* numOutputChannels) = 0;
    virtual ASIOError STDMETHODCALLTYPE getLatencies(int32_t* inputLatency, int32_t* outputLatency) = 0;
    virtual ASIOError STDMETHODCALLTYPE getBufferSize(int32_t* minSize, int32_t* maxSize, int32_t* preferredSize,
                                                      int32_t* granularity) = 0;
    virtual ASIOError STDMETHODCALLTYPE canSampleRate(ASIOSampleRate rate) = 0;
    virtual ASIOError STDMETHODCALLTYPE getSampleRate(ASIOSampleRate* rate) = 0;
    virtual ASIOError STDMETHODCALLTYPE setSampleRate(ASIOSampleRate rate) = 0;
    virtual ASIOError STDMETHODCALLTYPE getClockSources(ASIOClockSource* clocks, int32_t* numSources) = 0;
    virtual ASIOError STDMETHODCALLTYPE setClockSource(int32_t index) = 0;
    virtual ASIOError STDMETHODCALLTYPE getSamplePosition(ASIOSamples* position, ASIOTimeStamp* timeStamp) = 0;
    virtual ASIOError STDMETHODCALLTYPE getChannelInfo(ASIOChannelInfo* info) = 0;
    virtual ASIOError STDMETHODCALLTYPE createBuffers(ASIOBufferInfo* bufferInfos, int32_t numChannels,
                                                      int32_t bufferSize, ASIOCallbacks* callbacks) = 0;
    virtual ASIOError STDMETHODCALLTYPE disposeBuffers() = 0;
    virtual ASIOError STDMETHODCALLTYPE controlPanel() = 0;
    virtual ASIOError STDMETHODCALLTYPE future(int32_t selector, void* opt) = 0;
    virtual ASIOError STDMETHODCALLTYPE outputReady() = 0;

protected:
    ~IASIO() = default;
};

namespace vexa::asio {

// 64-bit counts to and from the interface's two words.
inline ASIOSamples ToAsioSamples(uint64_t value) {
    return ASIOSamples{static_cast<uint32_t>(value >> 32), static_cast<uint32_t>(value)};
}
inline ASIOTimeStamp ToAsioTimeStamp(uint64_t ns) {
    return ASIOTimeStamp{static_cast<uint32_t>(ns >> 32), static_cast<uint32_t>(ns)};
}
inline uint64_t FromAsio(uint32_t hi, uint32_t lo) { return (static_cast<uint64_t>(hi) << 32) | lo; }

// The driver's class: the value of GUID_DEVINTERFACE_PAL, {6D41C2A8-3B57-4E19-9C02-58F1A7D3E64B}.
inline constexpr CLSID CLSID_VexaAsio = {0x6D41C2A8, 0x3B57, 0x4E19, {0x9C, 0x02, 0x58, 0xF1, 0xA7, 0xD3, 0xE6, 0x4B}};

// Where hosts find the driver: HKEY_LOCAL_MACHINE\SOFTWARE\ASIO\<kAsioDriverName>.
inline constexpr const char* kAsioDriverName = "ASIO QUV VEXA USB Platform";
inline constexpr const char* kAsioDriverKey = "SOFTWARE\\ASIO";

}  // namespace vexa::asio
