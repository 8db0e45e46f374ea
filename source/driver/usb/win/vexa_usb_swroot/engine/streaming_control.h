// What the client manager asks of the engine above it: device streaming
// started and stopped as clients run, whether there is a device, the current
// device's latencies and channels, the period it keeps. The engine implements
// it and hands it to the manager at init, so the manager includes no engine.
#pragma once

#include "platform/kmdf/wdf.h"
#include "source/driver/usb/win/vexa_usb_device/public/audio_device_interface.h"

class PalNotifier;

// The current device's rate and latencies in frames, as it reports them.
struct DeviceLatencies {
    ULONG rate;
    ULONG framesPerMs;   // one millisecond of input
    ULONG safetyFrames;  // output's safety frames beyond that millisecond
    ULONG input;         // the device's own input latency at `rate`
    ULONG output;
};

class StreamingControl {
public:
    // Any IRQL.
    virtual bool StreamsNow() const = 0;
    virtual ULONG DevicesPresent() = 0;
    // PASSIVE_LEVEL: one start or stop at a time, on the current device.
    [[nodiscard]] virtual NTSTATUS StartStreaming() = 0;
    [[nodiscard]] virtual NTSTATUS StopStreaming() = 0;
    // The period the settings keep. PASSIVE_LEVEL.
    virtual void KeepPeriodFrames(ULONG frames) = 0;
    // STATUS_NO_SUCH_DEVICE without a current device. PASSIVE_LEVEL.
    [[nodiscard]] virtual NTSTATUS CurrentDeviceLatencies(DeviceLatencies* latencies) = 0;
    // The current device's shared stream state and the ring index of a channel (bit 31: an input).
    virtual bool ChannelRing(ULONG channel, StreamState** ring, ULONG* index) = 0;
    // The current device's id and a channel's label (bit 31: an input); false without a device. PASSIVE_LEVEL.
    virtual bool ChannelInfo(ULONG channel, ULONG64* deviceId, WCHAR* label) = 0;
    // Who hears of bus changes; null until the engine is up.
    virtual PalNotifier* BusNotifier() const = 0;

protected:
    ~StreamingControl() = default;
};
