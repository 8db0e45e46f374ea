// Device add, hardware preparation and release, and the power callbacks.
#include "device.h"

#include "event_log.h"
#include "logger.h"
#include "messages.h"
#include "midi.h"
#include "status_error.h"
#include "stream.h"
#include "usb_audio.h"

#define LOG_FILE_NUMBER 458

using namespace vexa::log;

namespace {

constexpr ULONG kNoAddress = 0xFFFFFFFF;

bool IsSleepState(WDF_POWER_DEVICE_STATE state) {
    return state == WdfPowerDeviceD1 || state == WdfPowerDeviceD2 || state == WdfPowerDeviceD3 ||
           state == WdfPowerDevicePrepareForHibernation;
}

UsbFunctionDevice* AllocateFunctionDevice(WDFDEVICE wdfDevice) {
    auto* device =
        static_cast<UsbFunctionDevice*>(ExAllocatePoolWithTag(g_nonPagedPool, sizeof(UsbFunctionDevice), kPoolTagObject));
    if (device == nullptr) return nullptr;
    RtlZeroMemory(device, sizeof(*device));
    ConfigurationInit(&device->configuration);
    device->wdfDevice = wdfDevice;
    device->interfaceType = GUID_DEVINTERFACE_PAL;
    return device;
}

// Frees the function objects and the device object itself. PASSIVE_LEVEL.
void FreeFunctionDevice(UsbFunctionDevice* device) {
    for (IsoStream* stream : {device->captureStream, device->playbackStream}) {
        if (stream != nullptr) (void)IsoStreamShutdown(stream);
    }
    if (device->clock != nullptr) ClockControlDestroy(device->clock);
    device->clock = nullptr;
    if (device->vendorChannel != nullptr) VendorChannelDestroy(device->vendorChannel);
    for (LONG list = 0; list < 2; ++list) {
        MidiPort** ports = list == 0 ? device->midiIn : device->midiOut;
        LONG& count = list == 0 ? device->midiInCount : device->midiOutCount;
        for (LONG i = 0; i < count; ++i) {
            MidiPortFree(ports[i]);
            ports[i] = nullptr;
        }
        count = 0;
    }
    device->wdfDevice = nullptr;
    ConfigurationCleanup(&device->configuration);
    ExFreePoolWithTag(device, kPoolTagObject);
}

[[nodiscard]] NTSTATUS CreateStateLock(WDFDEVICE wdfDevice, DEVICE_CONTEXT* context) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = wdfDevice;
    return WdfSpinLockCreate(&attributes, &context->stateLock);
}

// One pass over the configured interfaces, building the function object each one is for.
void CreateFunctionObjects(UsbFunctionDevice* device) {
    USB_CONFIGURATION* configuration = &device->configuration;
    for (UCHAR i = 0; i < configuration->interfaceCount && i < kMaxInterfaces; ++i) {
        InterfaceObject* object = configuration->interfaces[i];
        if (object == nullptr || object->descriptor == nullptr) continue;
        const USB_INTERFACE_DESCRIPTOR* d = object->descriptor;
        TRACE(kLogInfo | kLogDescriptor, d->bInterfaceNumber, d->bInterfaceClass, d->bInterfaceSubClass,
              d->bNumEndpoints);
        if (d->bInterfaceClass == kAudioClass && d->bInterfaceSubClass == kAudioControlSubclass) {
            if (device->clock == nullptr) RaiseIfFailed(ClockControlCreate(device, object));
        } else if (d->bInterfaceClass == kAudioClass && d->bInterfaceSubClass == kAudioStreamingSubclass) {
            RaiseIfFailed(IsoStreamCreate(device, object));
        } else if (d->bInterfaceClass == kAudioClass && d->bInterfaceSubClass == kMidiStreamingSubclass) {
            RaiseIfFailed(MidiPortsCreate(device, object));
        } else if (d->bInterfaceClass == kVendorInterfaceClass && d->bInterfaceSubClass == kVendorChannelSubclass &&
                   d->bNumEndpoints == 1 && device->vendorChannel == nullptr) {
            RaiseIfFailed(VendorChannelCreate(device, object));
        }
    }
}

// Readers first configured, then every port started, inputs before outputs.
void StartMidiPorts(UsbFunctionDevice* device) {
    for (LONG i = 0; i < device->midiInCount; ++i) RaiseIfFailed(StartMidiInReader(device->midiIn[i]));
    for (LONG i = 0; i < device->midiInCount; ++i) RaiseIfFailed(StartMidiPort(device->midiIn[i]));
    for (LONG i = 0; i < device->midiOutCount; ++i) RaiseIfFailed(StartMidiPort(device->midiOut[i]));
}

// The streams take the clock's current rate (their settings are not re-selected).
void TakeCurrentRate(UsbFunctionDevice* device) {
    ULONG rate = device->streamFormat.sampleRate;
    if (device->clock != nullptr && NT_SUCCESS(GetCurrentRate(device->clock, &rate))) {
        device->streamFormat.sampleRate = rate;
    }
    (void)StreamsTakeRate(device, device->streamFormat.sampleRate, false);
}

// The preparation sequence; raises the first failing step's status.
void PrepareFunctionDevice(WDFDEVICE wdfDevice, UsbFunctionDevice* device) {
    RaiseIfFailed(UsbTargetSetup(&device->configuration, wdfDevice));
    CreateFunctionObjects(device);
    StartMidiPorts(device);
    TakeCurrentRate(device);
    RaiseIfFailed(RegisterDirectCallInterface(device));
    device->wdfDevice = wdfDevice;
}

// Restarts the readers after power-up: MIDI inputs, the clock's and the vendor channel's interrupts.
[[nodiscard]] NTSTATUS StartReaders(UsbFunctionDevice* device) {
    for (LONG i = 0; i < device->midiInCount; ++i) {
        NTSTATUS status = StartMidiPort(device->midiIn[i]);
        if (!NT_SUCCESS(status)) return status;
    }
    if (device->clock != nullptr) {
        NTSTATUS status = ClockControlStart(device->clock);
        if (!NT_SUCCESS(status)) return status;
    }
    if (device->vendorChannel != nullptr) return VendorChannelStartNotifications(device->vendorChannel);
    return STATUS_SUCCESS;
}

// Stops the readers before power-down, cancelling the reads in flight.
void StopReaders(UsbFunctionDevice* device) {
    for (LONG i = 0; i < device->midiInCount; ++i) StopMidiPort(device->midiIn[i]);
    if (device->clock != nullptr) ClockControlStop(device->clock);
    if (device->vendorChannel != nullptr) VendorChannelStopNotifications(device->vendorChannel);
}

// Raises the failing step's status.
void AddDevice(PWDFDEVICE_INIT deviceInit) {
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDevicePrepareHardware = UsbEvtDevicePrepareHardware;
    callbacks.EvtDeviceD0Entry = UsbEvtDeviceD0Entry;
    callbacks.EvtDeviceD0Exit = UsbEvtDeviceD0Exit;
    callbacks.EvtDeviceReleaseHardware = UsbEvtDeviceReleaseHardware;
    callbacks.EvtDeviceSurpriseRemoval = UsbEvtDeviceSurpriseRemoval;
    WdfDeviceInitSetPnpPowerEventCallbacks(deviceInit, &callbacks);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
    WDFDEVICE wdfDevice;
    RaiseIfFailed(WdfDeviceCreate(&deviceInit, &attributes, &wdfDevice));

    WDF_DEVICE_PNP_CAPABILITIES capabilities;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&capabilities);
    capabilities.Removable = WdfTrue;
    capabilities.SurpriseRemovalOK = WdfTrue;
    capabilities.Address = kNoAddress;
    capabilities.UINumber = kNoAddress;
    WdfDeviceSetPnpCapabilities(wdfDevice, &capabilities);

    RaiseIfFailed(WdfDeviceCreateDeviceInterface(wdfDevice, &GUID_DEVINTERFACE_AUDIODEVICE, nullptr));

    DEVICE_CONTEXT* context = GetDeviceContext(wdfDevice);
    context->device = AllocateFunctionDevice(wdfDevice);
    // Every later callback needs the object: without it the device must not come up.
    if (context->device == nullptr) RaiseStatus(STATUS_INSUFFICIENT_RESOURCES);

    NTSTATUS status = CreateStateLock(wdfDevice, context);
    if (!NT_SUCCESS(status)) {
        FreeFunctionDevice(context->device);
        context->device = nullptr;
        context->usbDevice = nullptr;
        RaiseStatus(status);
    }
}

}  // namespace

ULONG ReadDeviceState(UsbFunctionDevice* device) {
    DEVICE_CONTEXT* context = GetDeviceContext(device->wdfDevice);
    WdfSpinLockAcquire(context->stateLock);
    auto state = static_cast<ULONG>(ReadNoFence(&device->deviceState));
    WdfSpinLockRelease(context->stateLock);
    return state;
}

void WriteDeviceState(UsbFunctionDevice* device, ULONG state) {
    DEVICE_CONTEXT* context = GetDeviceContext(device->wdfDevice);
    WdfSpinLockAcquire(context->stateLock);
    WriteNoFence(&device->deviceState, static_cast<LONG>(state));
    WdfSpinLockRelease(context->stateLock);
}

NTSTATUS UsbEvtDevicePrepareHardware(WDFDEVICE wdfDevice, WDFCMRESLIST, WDFCMRESLIST) {
    PAGED_CODE();
    DEVICE_CONTEXT* context = GetDeviceContext(wdfDevice);
    TRACE(kLogInfo, context->device, context->usbDevice);
    if (context->usbDevice != nullptr) return STATUS_SUCCESS;
    NTSTATUS status = CatchStatus([&] {
        // A restart after a release (rebalance) finds the objects gone: build them again.
        if (context->stateLock == nullptr) RaiseIfFailed(CreateStateLock(wdfDevice, context));
        if (context->device == nullptr) {
            context->device = AllocateFunctionDevice(wdfDevice);
            if (context->device == nullptr) RaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
        }
        PrepareFunctionDevice(wdfDevice, context->device);
        WriteDeviceState(context->device, kDeviceStateReady);
    });
    if (!NT_SUCCESS(status)) TRACE(kLogError, status);
    return status;
}

NTSTATUS UsbEvtDeviceD0Entry(WDFDEVICE wdfDevice, WDF_POWER_DEVICE_STATE previousState) {
    PAGED_CODE();
    UsbFunctionDevice* device = GetDeviceContext(wdfDevice)->device;
    TRACE(kLogInfo, device, previousState);
    if (device == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    WriteNoFence(&device->deviceState, kDeviceStateReady);
    if (ReadNoFence(&device->streamingOn) != 0) (void)StartStreaming(device);
    NTSTATUS status = StartReaders(device);
    if (previousState == WdfPowerDeviceD1 || previousState == WdfPowerDeviceD2 || previousState == WdfPowerDeviceD3) {
        NotifyPower(device, kPowerBackInD0);
    }
    return status;
}

NTSTATUS UsbEvtDeviceD0Exit(WDFDEVICE wdfDevice, WDF_POWER_DEVICE_STATE targetState) {
    PAGED_CODE();
    UsbFunctionDevice* device = GetDeviceContext(wdfDevice)->device;
    TRACE(kLogInfo, device, targetState);
    if (device == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    StopReaders(device);
    // Streaming stays stopped until the root driver starts it again.
    if (ReadNoFence(&device->streamingOn) != 0) StopStreaming(device);
    if (IsSleepState(targetState)) {
        WriteNoFence(&device->deviceState, kDeviceStateLowPower);
        NotifyPower(device, kPowerSleeping);
    } else if (targetState == WdfPowerDeviceD3Final) {
        NotifyPower(device, kPowerLeftForGood);
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbEvtDeviceReleaseHardware(WDFDEVICE wdfDevice, WDFCMRESLIST) {
    PAGED_CODE();
    DEVICE_CONTEXT* context = GetDeviceContext(wdfDevice);
    TRACE(kLogInfo, context->device);
    NTSTATUS status = STATUS_SUCCESS;
    if (context->device != nullptr) {
        UsbFunctionDevice* device = context->device;
        WriteDeviceState(device, kDeviceStateRemoved);
        for (IsoStream* stream : {device->playbackStream, device->captureStream}) {
            if (stream == nullptr) continue;
            NTSTATUS shutdown = IsoStreamShutdown(stream);
            if (!NT_SUCCESS(shutdown) && NT_SUCCESS(status)) status = shutdown;
        }
        for (LONG i = 0; i < device->midiInCount; ++i) StopMidiPort(device->midiIn[i]);
        for (LONG i = 0; i < device->midiOutCount; ++i) StopMidiPort(device->midiOut[i]);
        if (!NT_SUCCESS(status)) TRACE(kLogError | kLogStream, status);
        FreeFunctionDevice(context->device);
        context->device = nullptr;
    }
    // The USB target goes too (with the descriptor memory parented to it), so
    // a restart builds everything afresh.
    if (context->usbDevice != nullptr) {
        WdfObjectDelete(context->usbDevice);
        context->usbDevice = nullptr;
    }
    if (context->stateLock != nullptr) {
        WdfObjectDelete(context->stateLock);
        context->stateLock = nullptr;
    }
    return status;
}

// Nothing is stopped here; the framework's release follows.
void UsbEvtDeviceSurpriseRemoval(WDFDEVICE wdfDevice) {
    PAGED_CODE();
    UsbFunctionDevice* device = GetDeviceContext(wdfDevice)->device;
    TRACE(kLogInfo, device);
    if (device != nullptr) WriteDeviceState(device, kDeviceStateRemoved);
}

NTSTATUS UsbEvtDriverDeviceAdd(WDFDRIVER driver, PWDFDEVICE_INIT deviceInit) {
    PAGED_CODE();
    TRACE(kLogInfo, driver);
    NTSTATUS status = CatchStatus([&] { AddDevice(deviceInit); });
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError, status);
        LogEvent(WdfDriverWdmGetDriverObject(driver), kMajorPnp, MSG_USB_DEVICE_LOAD_FAILED, status);
    }
    return status;
}
