// The audio clients of the root driver: every consumer of audio is one (an
// ASIO connection per "\ASIO" handle; the WDM child's kernel clients).
#pragma once

#include "pool_memory.h"
#include "public/asio_interface.h"
#include "status_error.h"

class AudioClientManager;

inline constexpr ULONG kClientTypeAsio64 = 0;
inline constexpr ULONG kClientTypeAsio32 = 1;
inline constexpr ULONG kClientTypeKernel = 2;
inline constexpr ULONG kClientTypeKernelRender = 3;
inline constexpr ULONG kClientTypeKernelCapture = 4;

// Client events, relayed to every client's Notify.
inline constexpr ULONG kClientEventDeviceChanged = 0;
inline constexpr ULONG kClientEventRateChanged = 1;
inline constexpr ULONG kClientEventBufferSizeChanged = 2;
inline constexpr ULONG kClientEventModeChanged = 3;
inline constexpr ULONG kClientEventDeviceLost = 4;

class AudioClient : public PoolObject {
public:
    virtual ~AudioClient() = default;
    // Whole-period variant of Process; nothing calls it.
    virtual bool ProcessBuffer(ULONG64 timeNs, ULONG frames) = 0;
    // Moves `frames` between the client's buffers and the device rings.
    // DISPATCH_LEVEL, under the manager's clientLock.
    virtual bool Process(ULONG64 timeNs, ULONG frames) = 0;
    virtual void BufferSwitch(ULONG64 timeNs) = 0;
    virtual void Notify(ULONG clientEvent) = 0;
    virtual void Start() = 0;
    virtual void Stop() = 0;
    // Releases everything of the connection.
    [[nodiscard]] virtual NTSTATUS Close() = 0;
    virtual bool IsRunning() = 0;

    virtual ULONG Type() const = 0;
    virtual void SetOwner(AudioClientManager* owner) = 0;
    // The latencies, in frames, a client reports to its host; most have none to report.
    virtual void SetLatencies(ULONG, ULONG) {}
};

inline constexpr ULONG kAsioClientClosed = 0;
inline constexpr ULONG kAsioClientOpen = 1;
inline constexpr ULONG kAsioClientPrepared = 2;
inline constexpr ULONG kAsioClientStopped = 3;
inline constexpr ULONG kAsioClientStarted = 4;
inline constexpr ULONG kAsioClientRunning = 5;

// One ASIO host's connection. Its sessions, buffers and buffer switches come
// with the ASIO interface's requests; here it has its life cycle.
class AsioClient : public AudioClient {
public:
    explicit AsioClient(ULONG type) : type_(type), is64BitHost_(type == kClientTypeAsio64) {}

    bool ProcessBuffer(ULONG64 timeNs, ULONG frames) override { return Process(timeNs, frames); }
    bool Process(ULONG64 timeNs, ULONG frames) override;
    void BufferSwitch(ULONG64 timeNs) override;
    void Notify(ULONG clientEvent) override;
    void Start() override;
    void Stop() override;
    [[nodiscard]] NTSTATUS Close() override;
    bool IsRunning() override;
    ULONG Type() const override { return type_; }
    void SetOwner(AudioClientManager* owner) override { owner_ = owner; }

    ULONG State() const { return ReadULongAcquire(&state_); }
    // The latencies the host reads from the shared block, without a lock.
    void SetLatencies(ULONG input, ULONG output) override {
        WriteRelease(&block_.inputLatency, static_cast<LONG>(input));
        WriteRelease(&block_.outputLatency, static_cast<LONG>(output));
    }

private:
    AudioClientManager* owner_ = nullptr;
    const ULONG type_;
    const bool is64BitHost_;
    // Written under the manager's clientLock (start, stop, the buffer switch)
    // or by the handle's own requests (close): release writes and an
    // interlocked compare-exchange; acquire reads, with or without the lock.
    volatile ULONG state_ = kAsioClientClosed;
    vexa::asio::AsioSharedBlock block_{};
};

// A zeroed client of the given type; null for an unknown type or without memory.
AudioClient* CreateAudioClient(ULONG type);
