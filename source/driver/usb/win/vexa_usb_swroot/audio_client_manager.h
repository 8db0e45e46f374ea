// The owner of the audio clients (at most five) and of the buffer-size rules.
// Its base, the arbiter, counts open clients by kind and decides who may
// change the sample rate or the buffer size.
#pragma once

#include "audio_client.h"
#include "platform/kmdf/wdf.h"

class AudioEngine;

inline constexpr ULONG kMaxAudioClients = 5;
inline constexpr ULONG kDefaultBaseBufferSize = 512;  // frames at rates up to 48000 Hz

class AudioClientArbiter : public PoolObject {
public:
    virtual ~AudioClientArbiter() = default;

    // May a client of this kind change the sample rate or the buffer size?
    bool MayChangeFormat(ULONG kind) const;
    // Counts a client of this kind in (`remove` false) or out.
    void CountClientType(ULONG kind, bool remove);

    LONG AsioClientCount() const { return __atomic_load_n(&asioClientCount_, __ATOMIC_ACQUIRE); }
    LONG RenderClientCount() const { return __atomic_load_n(&renderClientCount_, __ATOMIC_ACQUIRE); }
    LONG CaptureClientCount() const { return __atomic_load_n(&captureClientCount_, __ATOMIC_ACQUIRE); }
    // Set together by the root commands that change the rate or the clock; the audio child reads and clears them.
    void VetoFormats() {
        __atomic_store_n(&renderFormatVeto_, 1, __ATOMIC_RELEASE);
        __atomic_store_n(&captureFormatVeto_, 1, __ATOMIC_RELEASE);
    }
    bool FormatsVetoed() const {
        return __atomic_load_n(&renderFormatVeto_, __ATOMIC_ACQUIRE) != 0 &&
               __atomic_load_n(&captureFormatVeto_, __ATOMIC_ACQUIRE) != 0;
    }

private:
    UCHAR renderFormatVeto_ = 0;
    UCHAR captureFormatVeto_ = 0;
    volatile LONG asioClientCount_ = 0;     // interlocked
    volatile LONG captureClientCount_ = 0;  // interlocked
    volatile LONG renderClientCount_ = 0;   // interlocked
};

class AudioClientManager : public AudioClientArbiter {
public:
    AudioClientManager() = default;
    ~AudioClientManager() override;

    // PASSIVE_LEVEL: remembers the engine and the root device, creates clientLock.
    [[nodiscard]] NTSTATUS ClientManagerInit(AudioEngine* engine, WDFDEVICE device);

    // Buffer sizes in frames for a rate band: up to 48000 Hz, up to 96000 Hz, above.
    ULONG BufferSizeForRate(ULONG rate) const;
    ULONG MinBufferSize() const;
    ULONG MaxBufferSize() const;
    // A size outside [MinBufferSize, MaxBufferSize] is refused (event-log entry) and changes nothing.
    [[nodiscard]] bool SetBufferSize(ULONG frames);
    ULONG PeriodFrames() const { return __atomic_load_n(&periodFrames_, __ATOMIC_ACQUIRE); }

    // Takes the client when fewer than kMaxAudioClients are held (one step
    // under clientLock); false when it cannot, and the caller keeps the client.
    [[nodiscard]] bool AddClient(AudioClient* client);
    [[nodiscard]] NTSTATUS RemoveClient(AudioClient* client);
    [[nodiscard]] NTSTATUS StopClient(AudioClient* client);
    ULONG ClientCount();
    ULONG CountRunningClients();
    [[nodiscard]] NTSTATUS NotifyAudioClients(ULONG clientEvent);

    // The USB driver's period callback (DISPATCH_LEVEL): the running clients
    // move the period's frames. `context` is the manager.
    static void OnRealtimePeriod(PVOID context, ULONG64 timeNs, ULONG frames);

private:
    static ULONG Shift(ULONG rate);
    void NotifyBusChanged();
    ULONG CurrentRate() const;

    AudioEngine* engine_ = nullptr;
    WDFDEVICE device_ = nullptr;
    AudioClient* clients_[kMaxAudioClients] = {};  // guarded by clientLock_, packed from slot 0
    ULONG64 clientCount_ = 0;                       // guarded by clientLock_
    WDFSPINLOCK clientLock_ = nullptr;
    ULONG baseBufferSize_ = kDefaultBaseBufferSize;  // written at PASSIVE_LEVEL by SetBufferSize
    ULONG periodFrames_ = kDefaultBaseBufferSize;    // read by the period callback; stored with release order
};
