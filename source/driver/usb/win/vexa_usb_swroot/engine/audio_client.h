// The audio clients of the root driver: every consumer of audio is one (an
// ASIO connection per "\ASIO" handle; the WDM child's kernel clients). The
// client manager calls them from the period callback and for events.
#pragma once

#include "pool_memory.h"
#include "status_error.h"

class AudioClientManager;

inline constexpr ULONG kClientTypeAsio64 = 0;
inline constexpr ULONG kClientTypeAsio32 = 1;
inline constexpr ULONG kClientTypeKernel = 2;
inline constexpr ULONG kClientTypeKernelRender = 3;
inline constexpr ULONG kClientTypeKernelCapture = 4;

inline bool IsAsioClientType(ULONG type) { return type == kClientTypeAsio64 || type == kClientTypeAsio32; }

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
    // Relays a client event. Under the manager's clientLock (DISPATCH_LEVEL).
    virtual void Notify(ULONG clientEvent) = 0;
    // Under the manager's clientLock (DISPATCH_LEVEL).
    virtual void Start() = 0;
    virtual void Stop() = 0;
    // Releases everything of the connection. PASSIVE_LEVEL.
    [[nodiscard]] virtual NTSTATUS Close() = 0;
    virtual bool IsRunning() = 0;

    virtual ULONG Type() const = 0;
    virtual void SetOwner(AudioClientManager* owner) = 0;
    // The latencies, in frames, a client reports to its host; most have none
    // to report. Any level up to DISPATCH_LEVEL.
    virtual void SetLatencies(ULONG, ULONG) {}
};
