// The direct-call interface: registration, query acceptance, the command
// entry with its routing, the USB driver's own commands (category 0x401) and
// the power notifications to the root driver.
#include "device.h"
#include "event_log.h"
#include "logger.h"
#include "messages.h"
#include "midi.h"
#include "status_error.h"
#include "stream.h"

#define LOG_FILE_NUMBER 459

using namespace vexa::log;

namespace {

constexpr ULONG kVersionReplyBytes = 8;

void InterfaceNoOp(PVOID) {}

bool ReadU32(PVOID in, ULONG64 inLength, ULONG* value) {
    if (inLength != sizeof(ULONG)) return false;
    RtlCopyMemory(value, in, sizeof(ULONG));
    return true;
}

// Category 0x401 commands 6 and up. Replies are written back into the input
// buffer; a wrong input length is STATUS_INVALID_PARAMETER.
[[nodiscard]] NTSTATUS UsbDriverCommand(UsbFunctionDevice* device, USHORT command, PVOID in, ULONG64 inLength) {
    auto expect = [&](ULONG64 bytes) {
        if (inLength != bytes || (bytes != 0 && in == nullptr)) RaiseStatus(STATUS_INVALID_PARAMETER);
    };
    NTSTATUS status = CatchStatus([&] {
        switch (command) {
            case kUsbCmdSetStreaming: {
                ULONG on = 0;
                if (!ReadU32(in, inLength, &on)) RaiseStatus(STATUS_INVALID_PARAMETER);
                bool done = on != 0 ? StartStreaming(device) : StopStreaming(device);
                if (!done) RaiseStatus(STATUS_INTERNAL_ERROR);
                break;
            }
            case kUsbCmdSetStreamFormat: {
                expect(sizeof(StreamFormat));
                StreamFormat format;
                RtlCopyMemory(&format, in, sizeof(format));
                RaiseIfFailed(ApplyStreamFormat(device, format));
                break;
            }
            case kUsbCmdGetStreamFormat:
                expect(sizeof(StreamFormat));
                RtlCopyMemory(in, &device->streamFormat, sizeof(StreamFormat));
                break;
            case kUsbCmdMapStreamState: {
                expect(sizeof(StreamState));
                ULONG64 address = reinterpret_cast<ULONG64>(&device->streamState);
                RtlCopyMemory(in, &address, sizeof(address));
                break;
            }
            case kUsbCmdNop:
                expect(8);
                break;
            case kUsbCmdGetLatency: {
                expect(2 * sizeof(ULONG));
                ULONG rate = device->streamFormat.sampleRate;
                ULONG reply[2] = {SafetyFrames(rate, device->streamFormat.operationMode) - rate / 1000, rate / 1000};
                RtlCopyMemory(in, reply, sizeof(reply));
                break;
            }
            case kUsbCmdMidiOutKick: {
                ULONG value = 0;
                if (!ReadU32(in, inLength, &value)) RaiseStatus(STATUS_INVALID_PARAMETER);
                RaiseIfFailed(MidiOutKick(device, value));
                break;
            }
            case kUsbCmdMidiEnable: {
                ULONG value = 0;
                if (!ReadU32(in, inLength, &value)) RaiseStatus(STATUS_INVALID_PARAMETER);
                RaiseIfFailed(MidiEnable(device, value));
                break;
            }
            case kUsbCmdQueryBusy: {
                expect(sizeof(ULONG));
                ULONG busy = StreamsActive(device) || MidiBusy(device) ? 1 : 0;
                RtlCopyMemory(in, &busy, sizeof(busy));
                break;
            }
            case kUsbCmdGetProductString: {
                expect(16);
                ULONG64 address;
                USHORT capacity;
                RtlCopyMemory(&address, in, sizeof(address));
                RtlCopyMemory(&capacity, static_cast<UCHAR*>(in) + sizeof(address), sizeof(capacity));
                RaiseIfFailed(ReadStringDescriptor(&device->configuration,
                                                   device->configuration.deviceDescriptor.iProduct,
                                                   reinterpret_cast<WCHAR*>(address), capacity));
                break;
            }
            case kUsbCmdSetOperationMode: {
                ULONG mode = 0;
                if (!ReadU32(in, inLength, &mode)) RaiseStatus(STATUS_INVALID_PARAMETER);
                WriteULongNoFence(&device->streamFormat.operationMode, mode);
                if (ReadNoFence(&device->streamingOn) != 0) InterlockedExchange(&device->modeChangePending, 1);
                break;
            }
            default:
                RaiseStatus(STATUS_NOT_IMPLEMENTED);
        }
    });
    if (!NT_SUCCESS(status)) TRACE(kLogError | kLogInterface, status, command, inLength);
    return status;
}

[[nodiscard]] ULONG UsbDeviceCategory(UsbFunctionDevice* device, USHORT command, PVOID in, ULONG64 inLength, PVOID out,
                                      ULONG64* outLength) {
    switch (command) {
        case kUsbCmdGetInterfaceVersion: {
            if (out == nullptr || outLength == nullptr || *outLength < kVersionReplyBytes) return kUsbResultBufferTooSmall;
            ULONG reply[2] = {kUsbInterfaceVersion, kUsbInterfaceMinCompatibleVersion};
            RtlCopyMemory(out, reply, sizeof(reply));
            return kUsbResultOk;
        }
        case kUsbCmdOpenVendorChannel: {
            NTSTATUS status = device->vendorChannel != nullptr ? OpenVendorChannel(device->vendorChannel)
                                                              : STATUS_DEVICE_NOT_READY;
            return NT_SUCCESS(status) ? kUsbResultOk : kUsbResultFailed;
        }
        default:
            return NT_SUCCESS(UsbDriverCommand(device, command, in, inLength)) ? kUsbResultOk : kUsbResultFailed;
    }
}

}  // namespace

// PASSIVE_LEVEL, under no lock. Accepts the root driver's query in the ready
// state only; the accepted record's callbacks replace every earlier one.
NTSTATUS UsbEvtDeviceProcessQueryInterfaceRequest(WDFDEVICE wdfDevice, GUID* interfaceType, PINTERFACE exposed,
                                                  PVOID) {
    PAGED_CODE();
    DEVICE_CONTEXT* context = GetDeviceContext(wdfDevice);
    UsbFunctionDevice* device = context->device;
    if (device == nullptr || context->stateLock == nullptr) return STATUS_DEVICE_NOT_CONNECTED;
    auto* requester = reinterpret_cast<AUDIODEVICE_INTERFACE*>(exposed);

    NTSTATUS status = STATUS_NOT_SUPPORTED;
    WdfSpinLockAcquire(context->stateLock);
    if (ReadNoFence(&device->deviceState) != kDeviceStateReady) {
        status = STATUS_DEVICE_NOT_CONNECTED;
    } else if (interfaceType != nullptr && *interfaceType == device->interfaceType && requester != nullptr &&
               requester->Version == kAudioDeviceInterfaceVersion &&
               requester->Size >= kAudioDeviceInterfaceSize) {
        // A record shorter than ours would be read and written past its end.
        RtlCopyMemory(&device->deviceInterface, requester, sizeof(AUDIODEVICE_INTERFACE));
        requester->CommandEntry = UsbCommandEntry;
        requester->CommandContext = device;
        if (device->vendorChannel != nullptr) {
            VendorChannelSetCallbacks(device->vendorChannel, requester->NotifyContext, requester->ClientDevice,
                                      requester->NotificationCallback);
        }
        MidiSetCallbacks(device, requester->MidiCallback, requester->MidiContext);
        status = STATUS_SUCCESS;
    }
    WdfSpinLockRelease(context->stateLock);
    TRACE(kLogInfo | kLogInterface, status, requester != nullptr ? requester->Version : 0,
          requester != nullptr ? requester->Size : 0);
    return status;
}

NTSTATUS RegisterDirectCallInterface(UsbFunctionDevice* device) {
    AUDIODEVICE_INTERFACE* record = &device->deviceInterface;
    RtlZeroMemory(record, sizeof(*record));
    record->Size = kAudioDeviceInterfaceSize;
    record->Version = kAudioDeviceInterfaceVersion;
    record->Context = device;
    record->InterfaceReference = InterfaceNoOp;
    record->InterfaceDereference = InterfaceNoOp;
    record->CommandContext = device;
    record->CommandEntry = UsbCommandEntry;

    WDF_QUERY_INTERFACE_CONFIG config;
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, reinterpret_cast<PINTERFACE>(record), &device->interfaceType,
                                    UsbEvtDeviceProcessQueryInterfaceRequest);
    config.SendQueryToParentStack = FALSE;
    config.ImportInterface = TRUE;
    NTSTATUS status = WdfDeviceAddQueryInterface(device->wdfDevice, &config);
    if (!NT_SUCCESS(status)) TRACE(kLogError | kLogInterface, status);
    return status;
}

void NotifyPower(UsbFunctionDevice* device, ULONG value) {
    DEVICE_CONTEXT* context = GetDeviceContext(device->wdfDevice);
    // Take a consistent snapshot; the callback itself runs at PASSIVE_LEVEL, outside the lock.
    WdfSpinLockAcquire(context->stateLock);
    PVOID clientDevice = device->deviceInterface.ClientDevice;
    PVOID notifyContext = device->deviceInterface.NotifyContext;
    PFN_AUDIODEVICE_NOTIFICATION callback = device->deviceInterface.NotificationCallback;
    WdfSpinLockRelease(context->stateLock);
    if (clientDevice == nullptr || callback == nullptr) return;

    ULONG result = callback(notifyContext, clientDevice, kNotifyTypePower, value);
    TRACE(kLogInfo | kLogInterface, value, result);
    if (result != kUsbResultOk) {
        // The root driver declined: no more power notifications until it queries again.
        WdfSpinLockAcquire(context->stateLock);
        if (device->deviceInterface.ClientDevice == clientDevice) device->deviceInterface.ClientDevice = nullptr;
        WdfSpinLockRelease(context->stateLock);
    }
}

// PASSIVE_LEVEL (the root driver's callers serialise vendor-channel commands).
ULONG UsbCommandEntry(PVOID context, USHORT category, USHORT command, PVOID in, ULONG64 inLength, PVOID out,
                      ULONG64* outLength) {
    PAGED_CODE();
    auto* device = static_cast<UsbFunctionDevice*>(context);
    ULONG state = ReadDeviceState(device);
    if (state == kDeviceStateRemoved) return kUsbResultNotConnected;
    if (state == kDeviceStateLowPower) return kUsbResultNotReady;

    ULONG result;
    if (category == kDcpCategoryUsbDevice) {
        result = UsbDeviceCategory(device, command, in, inLength, out, outLength);
    } else if (category == kDcpCategoryClock && command <= kDcpClockSet) {
        result = ClockCommand(device, command, in, inLength, out, outLength);
    } else if (device->vendorChannel != nullptr) {
        result = VendorChannelExchange(device->vendorChannel, category, command, in, inLength, out, outLength);
    } else {
        // A device without a vendor interface has no channel to the firmware.
        result = kUsbResultChannelClosed;
    }
    if (result != kUsbResultOk) {
        TRACE(kLogError | kLogInterface, result, category, command);
        LogEvent(WdfDeviceWdmGetDeviceObject(device->wdfDevice), kMajorPnp, MSG_HARDWARE_COMMUNICATION_FAILED,
                 static_cast<NTSTATUS>(result));
    } else {
        TRACE(kLogDetail | kLogInterface, category, command);
    }
    return result;
}
