// The isochronous streams' private records: one IsoStream per direction,
// ten URBs in flight each, and the circle of RingPacket records over its
// buffer that the root driver's clients walk through StreamState.
#pragma once

#include "device.h"
#include "platform/usb/usb_urb.h"
#include "usb_audio.h"

inline constexpr ULONG kUrbCount = 10;
inline constexpr ULONG kPacketsPerFrame = kMicroframesPerFrame;  // one packet per microframe
inline constexpr ULONG kFramesPerUrb = 1;

enum : LONG {
    kStreamStopped = 0,
    kStreamStarted = 1,       // no completion seen yet
    kStreamFirstComplete = 2,
    kStreamRunning = 3,
};

struct IsoUrbContext {
    RingPacket* firstPacket;
    ULONG frames;         // frames carried by the last completion (capture) or layout (playback)
    PURB urb;
    UCHAR* bufferSlice;
    ULONG sliceBytes;
    ULONG transferBytes;
    ULONG packetCount;
    ULONG urbIndex;
    IsoStream* stream;
    WDFMEMORY urbMemory;
    WDFREQUEST request;   // created on first use, reused after
};

struct IsoStream {
    UsbFunctionDevice* device;
    ULONG channels;        // bNrChannels of AS_GENERAL
    ULONG subslotSize;     // bytes per sample
    ULONG bytesPerFrame;
    UCHAR alternateSetting;  // the streaming setting's index
    volatile LONG state;     // kStream*; completion path and start/stop
    ULONG64 lastCompletionTime;  // microseconds; trace only
    ULONG expectedUrbIndex;      // completion path only
    UCHAR* buffer;
    ULONG bufferBytes;
    UCHAR isOutput;
    UCHAR synchronousEndpoint;
    UCHAR endpointAddress;
    UCHAR endpointAttributes;
    ULONG maxPacketSize;
    ULONG framesPerUrb;
    IsoUrbContext* urbs[kUrbCount];
    RingPacket* ringHead;
    ULONG nextFrame;             // completion path only
    volatile LONG outstandingUrbs;
    ULONG rateAccumulator;       // 16.16 frames; layout only (completion path or idle)
    ULONG rateIncrement;
    ULONG sampleRate;
    KSPIN_LOCK streamLock;       // guards `active` and every send
    volatile LONG active;        // 1 while URBs may be sent
    PipeRecord* pipe;            // null while the streaming setting is not selected
    InterfaceObject* interface;
};

// Creates the stream of one audio-streaming interface; on failure nothing is left.
[[nodiscard]] NTSTATUS IsoStreamCreate(UsbFunctionDevice* device, InterfaceObject* object);
// Stops, destroys and frees a stream.
[[nodiscard]] NTSTATUS IsoStreamShutdown(IsoStream* stream);
[[nodiscard]] NTSTATUS StreamSetRate(IsoStream* stream, ULONG rate, bool reselect);
[[nodiscard]] NTSTATUS ApplyStreamFormat(UsbFunctionDevice* device, const StreamFormat& format);
[[nodiscard]] bool StartStreaming(UsbFunctionDevice* device);
bool StopStreaming(UsbFunctionDevice* device);
bool IsoStreamBusy(IsoStream* stream);
