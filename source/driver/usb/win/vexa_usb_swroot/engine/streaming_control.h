// What the client manager asks of the engine above it: device streaming
// started and stopped as clients run, whether there is a device, the current
// device's latencies and channels, the period it keeps. The engine fills the
// record with its functions and itself as their context and hands it to the
// manager at init, so the manager includes no engine.
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

struct StreamingControl {
    PVOID context;
    bool (*streaming)(PVOID context);
    ULONG (*devices)(PVOID context);
    NTSTATUS (*start)(PVOID context);
    NTSTATUS (*stop)(PVOID context);
    void (*keepPeriod)(PVOID context, ULONG frames);
    NTSTATUS (*latencies)(PVOID context, DeviceLatencies* latencies);
    bool (*ring)(PVOID context, ULONG channel, StreamState** ring, ULONG* index);
    bool (*info)(PVOID context, ULONG channel, ULONG64* deviceId, WCHAR* label);
    PalNotifier* (*notifier)(PVOID context);

    // Any IRQL.
    bool StreamsNow() const { return streaming(context); }
    ULONG DevicesPresent() const { return devices(context); }
    // PASSIVE_LEVEL: one start or stop at a time, on the current device.
    [[nodiscard]] NTSTATUS BeginStreaming() const { return start(context); }
    [[nodiscard]] NTSTATUS EndStreaming() const { return stop(context); }
    // The period the settings keep. PASSIVE_LEVEL.
    void KeepPeriodFrames(ULONG frames) const { keepPeriod(context, frames); }
    // STATUS_NO_SUCH_DEVICE without a current device. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS DeviceLatenciesNow(DeviceLatencies* out) const { return latencies(context, out); }
    // The current device's shared stream state and the ring index of a channel (bit 31: an input).
    bool RingOfChannel(ULONG channel, StreamState** state, ULONG* index) const {
        return ring(context, channel, state, index);
    }
    // The current device's id and a channel's label (bit 31: an input); false without a device. PASSIVE_LEVEL.
    bool InfoOfChannel(ULONG channel, ULONG64* deviceId, WCHAR* label) const {
        return info(context, channel, deviceId, label);
    }
    // Who hears of bus changes; null until the engine is up.
    PalNotifier* BusNotifier() const { return notifier(context); }
};
