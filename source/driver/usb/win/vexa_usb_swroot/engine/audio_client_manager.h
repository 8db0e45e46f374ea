// The owner of the audio clients (at most five) and of the period clock: the
// USB function driver's period callback is cut at the period boundary and
// every running client gets the same chunk. Its base, the arbiter, counts
// open clients by kind and decides who may change the sample rate or the
// buffer size.
#pragma once

#include "engine/audio_client.h"
#include "engine/streaming_control.h"
#include "platform/kmdf/wdf.h"
#include "source/driver/usb/win/vexa_usb_device/public/audio_device_interface.h"

inline constexpr ULONG kMaxAudioClients = 5;
inline constexpr ULONG kDefaultBaseBufferSize = 512;  // frames at rates up to 48000 Hz
inline constexpr ULONG kMinBaseBufferSize = 48;
inline constexpr ULONG kMaxBaseBufferSize = 2048;

// A latency in frames as hosts read it (signed 32 bits): the period, the
// device's own latency and the USB driver's extra frames, stopped at the
// largest such count instead of wrapping; `*saturated` is set when it stopped.
// Every report of a latency (the shared block, the device info) uses it.
ULONG LatencySum(ULONG period, ULONG deviceLatency, ULONG extra, bool* saturated);

class AudioClientArbiter : public PoolObject {
public:
    virtual ~AudioClientArbiter() = default;

    // May a client of this kind change the sample rate or the buffer size?
    bool MayChangeFormat(ULONG kind) const;
    // Counts a client of this kind in (`remove` false) or out.
    void CountClientType(ULONG kind, bool remove);

    LONG AsioClientCount() const { return ReadAcquire(&asioClientCount_); }
    LONG RenderClientCount() const { return ReadAcquire(&renderClientCount_); }
    LONG CaptureClientCount() const { return ReadAcquire(&captureClientCount_); }
    // Set together by the root commands that change the rate or the clock; the audio child reads and clears them.
    void VetoFormats() {
        WriteRelease(&renderFormatVeto_, 1);
        WriteRelease(&captureFormatVeto_, 1);
    }
    bool FormatsVetoed() const { return ReadAcquire(&renderFormatVeto_) != 0 && ReadAcquire(&captureFormatVeto_) != 0; }
    // Reads and clears one direction's veto in one step (the audio child's format query).
    bool TakeFormatVeto(bool render) { return InterlockedExchange(render ? &renderFormatVeto_ : &captureFormatVeto_, 0) != 0; }

private:
    // Each flag a release write and an acquire read; no lock.
    volatile LONG renderFormatVeto_ = 0;
    volatile LONG captureFormatVeto_ = 0;
    // Interlocked changes, acquire reads; no lock.
    volatile LONG asioClientCount_ = 0;
    volatile LONG captureClientCount_ = 0;
    volatile LONG renderClientCount_ = 0;
};

class AudioClientManager : public AudioClientArbiter {
public:
    AudioClientManager() = default;
    ~AudioClientManager() override;

    // PASSIVE_LEVEL: remembers the engine's streaming control and the root
    // device, opens the Parameters key, creates the locks.
    [[nodiscard]] NTSTATUS ClientManagerInit(const StreamingControl* engine, WDFDEVICE device);
    // Reads "Base Buffer Size"; a missing, unreadable or out-of-range value
    // is replaced by 512 and written back. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS LoadBaseBufferSize(ULONG* periodFrames);

    // Buffer sizes in frames: up to 48000 Hz, up to 96000 Hz, above.
    ULONG BufferSizeForRate(ULONG rate) const;
    ULONG MinBufferSize() const;
    ULONG MaxBufferSize() const;
    // Whether a size lies in [MinBufferSize, MaxBufferSize]; one outside is
    // refused with an event-log entry. PASSIVE_LEVEL.
    [[nodiscard]] bool BufferSizeInRange(ULONG frames);
    // A size outside the range is refused (event-log entry); so is one the
    // registry does not take. Either changes nothing. PASSIVE_LEVEL.
    [[nodiscard]] bool SetBufferSize(ULONG frames);
    ULONG PeriodFrames() const { return ReadULongAcquire(&periodFrames_); }
    // The engine's rate changed (start-up, arrival, rate change, promotion): the period follows it.
    void FollowRate(ULONG rate);
    // The engine started streaming on a device with this shared state, or stopped (null).
    void StreamingChanged(StreamState* state);

    // Takes the client when fewer than kMaxAudioClients are held (one step
    // under clientLock); false when it cannot, and the caller keeps the client.
    [[nodiscard]] bool AddClient(AudioClient* client);
    [[nodiscard]] NTSTATUS RemoveClient(AudioClient* client);
    // The root device goes while handles still hold ASIO clients (their files
    // outlive it until the hosts close them): each is told the device is
    // lost (its host resets), leaves the period callback, the manager and its
    // count, and forgets the manager. Its handle's cleanup closes it later,
    // in the host's process. PASSIVE_LEVEL.
    void DetachAsioClients();
    // The first running client starts device streaming, the last one to stop
    // stops it; one decision at a time. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS StartClient(AudioClient* client);
    [[nodiscard]] NTSTATUS StopClient(AudioClient* client);
    // Starts streaming again when clients still run (after an arrival or a removal). PASSIVE_LEVEL.
    void ResumeStreaming();
    ULONG ClientCount();
    ULONG CountRunningClients();
    // PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS NotifyAudioClients(ULONG clientEvent);

    // The latencies ASIO clients report, in frames, at the engine's current rate. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS ComputeLatencies(ULONG* inputLatency, ULONG* outputLatency);
    [[nodiscard]] NTSTATUS UpdateLatencies(AudioClient* client);
    // The current device's shared stream state and the ring index of a channel (bit 31: an input).
    bool GetChannelRing(ULONG channel, StreamState** ring, ULONG* index);
    // The current device's id and a channel's label (bit 31: an input); false without a device. PASSIVE_LEVEL.
    bool GetChannelInfo(ULONG channel, ULONG64* deviceId, WCHAR* label);

    // The USB driver's period callback (DISPATCH_LEVEL); `context` is the manager.
    static void OnRealtimePeriod(PVOID context, ULONG64 timeNs, ULONG frames);
    // The streaming device's shared state; clients read it inside Process (under clientLock).
    StreamState* StreamingState() const { return streamState_; }
    ULONG PendingFrames() const { return ReadULongAcquire(&pendingFrames_); }
    ULONG PeriodPosition() const { return ReadULongAcquire(&periodPosition_); }
    ULONG Resyncs() const { return ReadULongAcquire(&resyncs_); }
    // The rate in effect (the current device's, as the engine last applied it), whose band the sizes are in.
    ULONG CurrentRate() const { return ReadULongAcquire(&currentRate_); }

private:
    static ULONG Shift(ULONG rate);
    void NotifyBusChanged();
    // Takes the client out of its slot, if it holds one.
    void Unlist(AudioClient* client);
    // Caller holds clientLock_.
    ULONG CountRunningLocked();
    void ResetPeriodLocked();
    void Period(ULONG64 timeNs, ULONG frames);
    void Resynchronise(StreamState* state);
    bool WriteBaseBufferSize(ULONG base, UCHAR majorFunction);

    const StreamingControl* engine_ = nullptr;
    WDFDEVICE device_ = nullptr;
    AudioClient* clients_[kMaxAudioClients] = {};  // guarded by clientLock_, packed from slot 0
    ULONG64 clientCount_ = 0;                       // guarded by clientLock_
    WDFSPINLOCK clientLock_ = nullptr;
    WDFWAITLOCK streamingLock_ = nullptr;           // one streaming start or stop decision at a time
    WDFKEY parametersKey_ = nullptr;
    // Written under clientLock_ with release writes; read under it, or
    // without it with acquire reads (the getters above).
    volatile ULONG baseBufferSize_ = kDefaultBaseBufferSize;
    volatile ULONG periodFrames_ = kDefaultBaseBufferSize;
    volatile ULONG pendingFrames_ = 0;
    volatile ULONG periodPosition_ = 0;
    volatile ULONG resyncs_ = 0;
    // The engine's rate, 0 before the first device: a release write by
    // FollowRate, which holds no lock; acquire reads.
    volatile ULONG currentRate_ = 0;
    StreamState* streamState_ = nullptr;  // guarded by clientLock_ (the clients read it inside Process)
};
