// The WDM audio child's audio clients: the adapter's own client (kind 2),
// which only relays client events to the child, and one stream client per
// render (kind 3) or capture (kind 4) stream the child opens. A stream client
// takes part in the period callback like an ASIO client, moving samples
// between the USB packets and one ring per channel, and the child moves them
// between the rings and its own buffers through WdmStreamTransfer.
//
// The rings (signed 32-bit samples, the audio in the top bits) are shared
// without a lock by two sides: the writer (the child for render, the period
// callback for capture) and the reader (the other one). Each side owns its
// position and its frame count; it publishes the count with a release write
// after the samples, and reads the other side's with an acquire read, so a
// side touches only samples the other has handed over. Samples are single
// words read and written whole (no-fence accesses); positions wrap at the
// ring's length; a side that finds too little room (overrun) or too little
// audio (underrun) moves what there is, counts it and traces it.
#pragma once

#include "engine/audio_client.h"
#include "public/child_interface.h"
#include "source/driver/usb/win/vexa_usb_device/public/audio_device_interface.h"

class WdmAdapter;

inline constexpr ULONG kWdmPoolTag = 0x6B61726D;     // rings and registry strings of the WDM side
inline constexpr ULONG kUnmappedChannel = 0xFFFFFFFF;
inline constexpr ULONG kRingMilliseconds = 50;        // ring length: rate x channels x 50 / 1000 samples

struct KernelChannelRecord {
    ULONG streamChannel;     // within the stream, also its place within an interleaved packet frame
    ULONG mappedChannel;     // from the adapter's channel map
    volatile LONG* samples;  // the channel's ring of ringLength samples (kWdmPoolTag)
};

class KernelAudioClient : public AudioClient {
public:
    explicit KernelAudioClient(ULONG type) : type_(type) {}
    ~KernelAudioClient() override;

    // Whole-period variant; nothing calls it.
    bool ProcessBuffer(ULONG64, ULONG) override { return false; }
    // DISPATCH_LEVEL, under the manager's clientLock: one chunk between the
    // rings and the packets, then the child's per-period function.
    bool Process(ULONG64 timeNs, ULONG frames) override;
    void BufferSwitch(ULONG64) override {}
    // The adapter's own client relays the event to the child; stream clients ignore it.
    void Notify(ULONG clientEvent) override;
    void Start() override;
    // The stream leaves the period callback for good (as if the child had set it to stop).
    void Stop() override;
    [[nodiscard]] NTSTATUS Close() override;
    bool IsRunning() override { return ReadULongAcquire(&wdmStreamState_) != kStateStopped; }
    ULONG Type() const override { return type_; }
    void SetOwner(AudioClientManager* owner) override { owner_ = owner; }

    void SetAdapter(WdmAdapter* adapter) { adapter_ = adapter; }
    WdmAdapter* Adapter() const { return adapter_; }
    // Takes the stream's format from the request and allocates one zeroed
    // ring per channel. `channelMap` is the adapter's map of the direction. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS OpenStreamRings(const vexa::child::WdmOpenStream& request, const ULONG* channelMap);
    // Zeroed rings, half full of silence (PASSIVE_LEVEL, while the period callback leaves it alone).
    void Rewind();

    ULONG ChannelCount() const { return channelCount_; }
    ULONG RingLength() const { return ringLength_; }
    ULONG ReadIndex() const { return ReadULongAcquire(&readIndex_); }
    ULONG WriteIndex() const { return ReadULongAcquire(&writeIndex_); }
    ULONG Overruns() const { return static_cast<ULONG>(ReadAcquire(&overruns_)); }
    ULONG Underruns() const { return static_cast<ULONG>(ReadAcquire(&underruns_)); }
    const KernelChannelRecord& Channel(ULONG index) const { return channels_[index]; }

    // The functions handed to the child. The transfer runs in the child's
    // context at up to DISPATCH_LEVEL; the state change at PASSIVE_LEVEL.
    static void WdmStreamTransfer(PVOID client, UCHAR* buffer, ULONG bytes);
    [[nodiscard]] static NTSTATUS WdmStreamSetState(PVOID client, ULONG state);

private:
    static constexpr ULONG kStateStopped = 0;

    void RenderPeriod(StreamState* state, ULONG frames);
    void CapturePeriod(StreamState* state, ULONG frames);
    void TransferIn(const UCHAR* buffer, ULONG frames);  // render: child to rings
    void TransferOut(UCHAR* buffer, ULONG frames);       // capture: rings to child
    void CountXrun(volatile LONG* counter, ULONG wanted, ULONG moved);
    void LogNoChannels();
    ULONG Advance(ULONG index) const { return index + 1 == ringLength_ ? 0 : index + 1; }

    const ULONG type_;
    AudioClientManager* owner_ = nullptr;
    WdmAdapter* adapter_ = nullptr;
    // Set by OpenStreamRings before the client is added to the manager; read-only after.
    KernelChannelRecord channels_[vexa::child::kWdmMaxChannels] = {};
    ULONG channelCount_ = 0;
    ULONG bytesPerSample_ = 0;
    ULONG sampleRate_ = 0;
    ULONG ringLength_ = 0;  // samples per channel ring
    PVOID childContext_ = nullptr;
    vexa::child::WdmStreamCallbackFn childCallback_ = nullptr;
    ULONG streamKind_ = kClientTypeKernel;  // 3 or 4 once a stream is open
    // Release writes and acquire reads: set by Start and Stop under clientLock,
    // read by the period callback under it and by the state change without it.
    volatile LONG running_ = 0;
    volatile ULONG wdmStreamState_ = kStateStopped;
    // Ring positions (wrapping at ringLength_) and frame counts (wrapping at
    // 2^32; their difference is the fill). writeIndex_/written_ are the
    // writer's, readIndex_/read_ the reader's (see the top of this file).
    volatile ULONG writeIndex_ = 0;
    volatile ULONG readIndex_ = 0;
    volatile ULONG written_ = 0;
    volatile ULONG read_ = 0;
    volatile LONG overruns_ = 0;
    volatile LONG underruns_ = 0;
    volatile LONG noChannelsLogged_ = 0;  // the event is written once per stream
};

// A zeroed kernel client of kind 2, 3 or 4; null for another kind or without memory.
KernelAudioClient* CreateKernelAudioClient(ULONG type);
