// The isochronous streams' private header: one IsoStream per direction, ten
// URBs in flight each, and the circle of RingPacket records over its buffer
// that the root driver's clients walk through StreamState.
//   stream.cpp       the stream objects: descriptors, creation, rate, format, streaming on and off
//   stream_ring.cpp  the ring and its cursor arithmetic
//   stream_urb.cpp   the URBs: start, stop and the completion routine
#pragma once

#include "device.h"
#include "platform/usb/usb_urb.h"
#include "usb_audio.h"

inline constexpr ULONG kUrbCount = 10;
inline constexpr ULONG kPacketsPerFrame = kMicroframesPerFrame;  // one packet per microframe
inline constexpr ULONG kFramesPerUrb = 1;

enum : LONG {
    kStreamStopped = 0,
    kStreamStarted = 1,  // no completion seen yet
    kStreamFirstComplete = 2,
    kStreamRunning = 3,
};

// One URB and the slice of the stream's buffer it carries. Written at
// creation and by the start (before its sends), then by the completion path only.
struct IsoUrbContext {
    RingPacket* firstPacket;
    ULONG frames;  // frames carried by the last completion (capture) or layout (playback)
    PURB urb;
    UCHAR* bufferSlice;
    ULONG sliceBytes;
    ULONG transferBytes;
    ULONG packetCount;
    ULONG urbIndex;
    IsoStream* stream;
    WDFMEMORY urbMemory;
    WDFREQUEST request;  // created on first use, reused after
};

struct IsoStream {
    UsbFunctionDevice* device;
    ULONG channels;     // bNrChannels of AS_GENERAL
    ULONG subslotSize;  // bytes per sample
    ULONG bytesPerFrame;
    UCHAR alternateSetting;  // the streaming setting's index
    // kStream*. The start sets it before its sends, the stop under streamLock,
    // the completion path steps it on without the lock (no-fence accesses): a
    // completion racing a stop may leave a stopped stream at 2 or 3, which the
    // next start overwrites.
    volatile LONG state;
    ULONG64 lastCompletionTime;    // microseconds; trace only; completion path only
    LONGLONG ticksPerMicrosecond;  // of the performance counter; set by the start, before its sends
    ULONG expectedUrbIndex;        // completion path only (and the start, before its sends)
    UCHAR* buffer;
    ULONG bufferBytes;
    UCHAR isOutput;
    UCHAR synchronousEndpoint;
    UCHAR endpointAddress;
    UCHAR endpointAttributes;
    ULONG maxPacketSize;
    ULONG framesPerUrb;
    IsoUrbContext* urbs[kUrbCount];
    RingPacket* ringHead;           // the ring's packets: one block, in ring order
    ULONG nextFrame;                // completion path only (and the start, before its sends)
    volatile LONG outstandingUrbs;  // interlocked changes; no-fence reads
    ULONG rateAccumulator;          // 16.16 frames; layout only (completion path, or no URB out)
    ULONG rateIncrement;
    ULONG sampleRate;
    KSPIN_LOCK streamLock;  // guards `active` and every send
    // 1 while URBs may be sent. Written and tested for a send under streamLock;
    // read alone (no-fence) only to refuse a change to a stream that runs.
    volatile LONG active;
    PipeRecord* pipe;  // null while the streaming setting is not selected
    InterfaceObject* interface;
    // The pipe's target and stack handle, taken by the start: the pipe cannot
    // change while the stream runs, and every URB goes to them.
    WDFIOTARGET pipeTarget;
    USBD_PIPE_HANDLE pipeHandle;
};

// One direction's half of StreamState: the two halves are laid out
// differently, so each field is named here once and the directions share the code.
struct StreamStateHalf {
    RingPacket*& cursorPacket;
    ULONG& cursorPosition;
    RingPacket*& endPacket;
    ULONG& endPosition;
    ULONG& channels;
    ULONG& ringBytes;
    ULONG& reserved;
    ULONG& periodFrames;
    ULONG& periodSamples;
};
StreamStateHalf HalfOf(StreamState& state, bool output);

// ---- stream.cpp -------------------------------------------------------------------------------

// Creates the stream of one audio-streaming interface; on failure nothing is left.
[[nodiscard]] NTSTATUS IsoStreamCreate(UsbFunctionDevice* device, InterfaceObject* object);
// Stops, destroys and frees a stream.
[[nodiscard]] NTSTATUS IsoStreamShutdown(IsoStream* stream);
[[nodiscard]] NTSTATUS StreamSetRate(IsoStream* stream, ULONG rate, bool reselect);
[[nodiscard]] NTSTATUS ApplyStreamFormat(UsbFunctionDevice* device, const StreamFormat& format);
[[nodiscard]] bool StartStreaming(UsbFunctionDevice* device);
bool StopStreaming(UsbFunctionDevice* device);
bool IsoStreamBusy(IsoStream* stream);
// The stream whose capture completions clock the periods: capture, else playback.
IsoStream* ClockStream(UsbFunctionDevice* device);

// ---- stream_ring.cpp ----------------------------------------------------------------------------

// Builds the ten URB contexts and the packet circle over the stream's buffer; raises on failure.
void BuildRing(IsoStream* stream);
void FreeRing(IsoStream* stream);
// Makes a returned URB ready to go out again: a playback URB is laid out
// afresh and silenced; a capture URB's packets say what it brought
// (nothing, when it did not transfer).
void RecycleUrb(IsoStream* stream, IsoUrbContext* context, bool transferred);
// Lays a playback URB out for its next transmission.
void RelayPlaybackUrb(IsoStream* stream, IsoUrbContext* context);
// Puts the playback producer a safety distance ahead of capture URB `urbIndex`
// (and, with `resetCapture`, the capture cursor at that URB's start).
void RingResync(UsbFunctionDevice* device, ULONG urbIndex, bool resetCapture);
// Has the playback producer fallen behind the bus at frame `current`?
bool ProducerBehind(UsbFunctionDevice* device, ULONG urbStartFrame, bool frameKnown, ULONG current);
// After a period: the clients' next period starts where their last one ended, in both directions.
void PublishCursors(StreamState& state);
// The cursor and the end of one direction at `packet`, `position` samples in.
void PlaceHalf(StreamStateHalf half, RingPacket* packet, ULONG position);

// ---- stream_urb.cpp ----------------------------------------------------------------------------

// Creates URB `index` over `bytes` of the buffer at `slice`, `packets` packets.
[[nodiscard]] NTSTATUS IsoUrbCreate(IsoStream* stream, IsoUrbContext* context, ULONG packets, ULONG index, UCHAR* slice,
                                    ULONG bytes);
void FreeUrbContexts(IsoStream* stream);
// Sends the ten URBs on the device's shared schedule and starts the pipe. PASSIVE_LEVEL.
[[nodiscard]] NTSTATUS IsoStreamStart(IsoStream* stream);
// Stops sending and waits for the URBs out to come back. PASSIVE_LEVEL.
void IsoStreamStop(IsoStream* stream);
EVT_WDF_REQUEST_COMPLETION_ROUTINE IsoUrbComplete;
