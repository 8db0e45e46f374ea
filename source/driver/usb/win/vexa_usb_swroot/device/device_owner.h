// What a device proxy reports to the engine that owns it, and what it asks of
// it: the owner fills a DeviceOwner record (its functions and itself as their
// context) and hands it down with the period callback when it binds a proxy,
// so that the device wing includes nothing above it.
#pragma once

#include "platform/kmdf/wdf.h"
#include "source/driver/usb/win/vexa_usb_device/public/audio_device_interface.h"

struct AUDIODEVICEIOTARGET;

struct DeviceOwner {
    PVOID context;
    WDFDRIVER driver;  // for the event log
    // Any IRQL.
    bool (*streaming)(PVOID context);
    ULONG (*listedDevices)(PVOID context);
    bool (*lists)(PVOID context, const void* device);
    // The device's power changed: the audio clients hear that it is lost, or
    // that it changed (it is back in D0).
    NTSTATUS (*lost)(PVOID context);
    NTSTATUS (*back)(PVOID context);
    // A notification's work item (PASSIVE_LEVEL): the listed device with this
    // PAL identity re-reads what `bits` name and the PAL clients are told; a
    // device that went in the meantime is not touched.
    void (*notified)(PVOID context, ULONG64 palId, ULONG bits);
    // The proxy's target was removed (PASSIVE_LEVEL, PnP thread): the proxy
    // named by the target's context, read under the binding lock, is unbound and dropped.
    void (*removed)(PVOID context, AUDIODEVICEIOTARGET* target);

    WDFDRIVER OwnerDriver() const { return driver; }
    bool OwnerStreaming() const { return streaming(context); }
    ULONG ListedDeviceCount() const { return listedDevices(context); }
    bool ListsDevice(const void* device) const { return lists(context, device); }
    [[nodiscard]] NTSTATUS DeviceLost() const { return lost(context); }
    [[nodiscard]] NTSTATUS DeviceBack() const { return back(context); }
    void DeviceNotified(ULONG64 palId, ULONG bits) const { notified(context, palId, bits); }
    void TargetRemoved(AUDIODEVICEIOTARGET* target) const { removed(context, target); }
};

// What binds a proxy to its owner. The period callback goes straight to the
// USB function driver, one indirect call per period as the owner chose it.
struct DeviceOwnerLink {
    const DeviceOwner* owner;
    // The owner of a root device as it is now, null once its objects went: a
    // notification's work item may run after that.
    const DeviceOwner* (*ownerOf)(WDFDEVICE rootDevice);
    PFN_AUDIODEVICE_REALTIME realtimeCallback;
    PVOID realtimeContext;
};
