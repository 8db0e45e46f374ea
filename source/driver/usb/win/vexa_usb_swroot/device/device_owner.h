// What a device proxy reports to the engine that owns it, and what it asks of
// it: the owner implements DeviceOwner and hands it down with the period
// callback when it binds a proxy, so that the device wing includes nothing
// above it.
#pragma once

#include "platform/kmdf/wdf.h"
#include "source/driver/usb/win/vexa_usb_device/public/audio_device_interface.h"

struct AUDIODEVICEIOTARGET;

class DeviceOwner {
public:
    // Any IRQL.
    virtual WDFDRIVER OwnerDriver() const = 0;
    virtual bool OwnerStreaming() const = 0;
    virtual ULONG ListedDeviceCount() = 0;
    virtual bool ListsDevice(const void* device) = 0;
    // The device's power changed: the audio clients hear that it is lost, or
    // that it changed (it is back in D0).
    [[nodiscard]] virtual NTSTATUS DeviceLost() = 0;
    [[nodiscard]] virtual NTSTATUS DeviceBack() = 0;
    // A notification's work item (PASSIVE_LEVEL): the listed device with this
    // PAL identity re-reads what `bits` name and the PAL clients are told; a
    // device that went in the meantime is not touched.
    virtual void DeviceNotified(ULONG64 palId, ULONG bits) = 0;
    // The proxy's target was removed (PASSIVE_LEVEL, PnP thread): the proxy
    // named by `context`, read under the binding lock, is unbound and dropped.
    virtual void TargetRemoved(AUDIODEVICEIOTARGET* context) = 0;

protected:
    ~DeviceOwner() = default;
};

// What binds a proxy to its owner. The period callback goes straight to the
// USB function driver, one indirect call per period as the owner chose it.
struct DeviceOwnerLink {
    DeviceOwner* owner;
    // The owner of a root device as it is now, null once its objects went: a
    // notification's work item may run after that.
    DeviceOwner* (*ownerOf)(WDFDEVICE rootDevice);
    PFN_AUDIODEVICE_REALTIME realtimeCallback;
    PVOID realtimeContext;
};
