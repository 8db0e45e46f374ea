// The device proxy: binding to the USB function driver, the command road with
// its low-power retries, and the callbacks the USB driver calls.
#define LOG_FILE_NUMBER 154

#include "device/usb_audio_device_target.h"

#include "device/lock_scope.h"
#include "event_log.h"
#include "logger.h"
#include "messages.h"

using namespace vexa::log;

namespace {

constexpr ACCESS_MASK kStandardRightsAll = 0x1F0000;
constexpr ULONG kShareReadWrite = 3;
constexpr ULONG kNotReadyAttempts = 5;
constexpr ULONG kNotReadyWaitMs = 100;
constexpr ULONG kVersionReplyBytes = 8;
constexpr ULONG kMapScratchBytes = sizeof(StreamState);
constexpr ULONG kProductStringRequestBytes = 16;

// The MIDI enable command's value: bit 31 on, bit 30 the output direction, the port in the low bits.
constexpr ULONG kMidiEnableBit = 0x80000000;
constexpr ULONG kMidiOutputBit = 0x40000000;

// Power values of notification type 2.
constexpr ULONG kPowerLost = 1;
constexpr ULONG kPowerNote = 2;

[[nodiscard]] NTSTATUS MapResult(ULONG result) {
    if (result == kUsbResultOk) return STATUS_SUCCESS;
    return result == kUsbResultNotConnected ? STATUS_DEVICE_NOT_CONNECTED : STATUS_UNSUCCESSFUL;
}

}  // namespace

UsbAudioDeviceTarget::UsbAudioDeviceTarget() : interfaceType_(GUID_DEVINTERFACE_PAL) {}

UsbAudioDeviceTarget::~UsbAudioDeviceTarget() {
    if (ioTarget_ != nullptr) {
        // A removal callback still to come finds no proxy.
        GetAudioDeviceIoTarget(ioTarget_)->proxy = nullptr;
        WdfObjectDelete(ioTarget_);
        ioTarget_ = nullptr;
    }
    if (commandLock_ != nullptr) WdfObjectDelete(commandLock_);
    rootDevice_ = nullptr;
    // Children still borrowing one keep it until they go.
    for (MidiEndpoint*& first : midiDevices_) {
        while (first != nullptr) {
            MidiEndpoint* midi = first;
            first = midi->nextOfDevice;
            midi->Drop();
        }
    }
}

void UsbAudioDeviceTarget::AddMidiDevice(bool output, MidiEndpoint* midi) {
    KIRQL irql;
    KeAcquireSpinLock(&midiLock_, &irql);
    MidiEndpoint*& first = midiDevices_[output ? 1 : 0];
    midi->nextOfDevice = first;
    first = midi;
    KeReleaseSpinLock(&midiLock_, irql);
}

// Under commandLock_, so that the count and the device's switch move together.
NTSTATUS UsbAudioDeviceTarget::CountMidiPort(bool output, ULONG port, bool enable) {
    auto count = [&] {
        ULONG& enabled = enabledMidiPorts_[output ? 1 : 0];
        bool first = enable && enabled == 0;
        bool last = !enable && enabled == 1;
        if (first || last) {
            ULONG value = port | (enable ? kMidiEnableBit : 0) | (output ? kMidiOutputBit : 0);
            ULONG result = AudioDevice::Command(kDcpCategoryUsbDevice, kUsbCmdMidiEnable, &value, sizeof(value),
                                                nullptr, nullptr);
            if (result != kUsbResultOk) {
                TRACE(kLogError | kLogMidi, result, value);
                return STATUS_UNSUCCESSFUL;
            }
        }
        enabled = enable ? enabled + 1 : enabled - 1;
        return STATUS_SUCCESS;
    };
    if (commandLock_ == nullptr) return count();
    WaitLockScope lock(commandLock_);
    return count();
}

bool UsbAudioDeviceTarget::GetProductString(WCHAR* buffer, USHORT chars) {
    UCHAR request[kProductStringRequestBytes] = {};
    ULONG64 address = reinterpret_cast<ULONG64>(buffer);
    RtlCopyMemory(request, &address, sizeof(address));
    RtlCopyMemory(request + sizeof(address), &chars, sizeof(chars));
    ULONG result = Command(kDcpCategoryUsbDevice, kUsbCmdGetProductString, request, sizeof(request), nullptr, nullptr);
    if (result != kUsbResultOk) TRACE(kLogWarning | kLogInterface, result);
    return result == kUsbResultOk;
}

void UsbAudioDeviceTarget::AttachOwner(WDFDEVICE rootDevice, const DeviceOwnerLink& link) {
    rootDevice_ = rootDevice;
    link_ = link;
    if (commandLock_ == nullptr && !NT_SUCCESS(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &commandLock_))) {
        commandLock_ = nullptr;
    }
}

void UsbAudioDeviceTarget::FillInterface() {
    RtlZeroMemory(&deviceInterface_, sizeof(deviceInterface_));
    deviceInterface_.Size = kAudioDeviceInterfaceSize;
    deviceInterface_.Version = kAudioDeviceInterfaceVersion;
    deviceInterface_.ClientDevice = this;
    deviceInterface_.RealtimeContext = link_.realtimeContext;
    deviceInterface_.NotifyContext = const_cast<DeviceOwner*>(link_.owner);
    deviceInterface_.MidiContext = this;
    deviceInterface_.NotificationCallback = OnDeviceNotification;
    deviceInterface_.RealtimeCallback = link_.realtimeCallback;
    deviceInterface_.MidiCallback = OnMidiData;
}

// The USB driver answers {lowest compatible, own version}; only its own counts.
void UsbAudioDeviceTarget::CheckVersion() {
    ULONG reply[2] = {};
    ULONG64 length = sizeof(reply);
    ULONG result = Command(kDcpCategoryUsbDevice, kUsbCmdGetInterfaceVersion, nullptr, 0, reply, &length);
    if (result != kUsbResultOk) RaiseStatus(MapResult(result));
    if (length != kVersionReplyBytes) RaiseStatus(STATUS_INVALID_PARAMETER);
    if (reply[1] > kUsbInterfaceVersion) {
        TRACE(kLogError | kLogInterface, reply[0], reply[1]);
        RaiseStatus(STATUS_NO_SUCH_DEVICE);
    }
}

// PASSIVE_LEVEL
NTSTATUS UsbAudioDeviceTarget::OpenTarget(WDFDEVICE rootDevice, PCUNICODE_STRING symbolicLink,
                                          const DeviceOwnerLink& link) {
    NTSTATUS status = CatchStatus([&] {
        AttachOwner(rootDevice, link);
        if (commandLock_ == nullptr) RaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
        // The target belongs to the driver, not to the root device: the root
        // device's clean-up unbinds through it after the device's own
        // children have gone. The proxy deletes it.
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, AUDIODEVICEIOTARGET);
        attributes.ParentObject = WdfDeviceGetDriver(rootDevice);
        RaiseIfFailed(WdfIoTargetCreate(rootDevice, &attributes, &ioTarget_));
        // The context is set before the open, so that an early removal finds it.
        AUDIODEVICEIOTARGET* context = GetAudioDeviceIoTarget(ioTarget_);
        context->proxy = this;
        context->owner = link.owner;

        WDF_IO_TARGET_OPEN_PARAMS params;
        WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&params, symbolicLink, kStandardRightsAll);
        params.ShareAccess = kShareReadWrite;
        params.EvtIoTargetRemoveComplete = OnTargetRemoveComplete;
        RaiseIfFailed(WdfIoTargetOpen(ioTarget_, &params));

        FillInterface();
        AUDIODEVICE_INTERFACE query = deviceInterface_;
        RaiseIfFailed(WdfIoTargetQueryForInterface(ioTarget_, &interfaceType_, reinterpret_cast<INTERFACE*>(&query),
                                                   kAudioDeviceInterfaceSize, kAudioDeviceInterfaceVersion, nullptr));
        {
            WaitLockScope lock(commandLock_);
            deviceInterface_ = query;
        }

        CheckVersion();
        ULONG result = Command(kDcpCategoryUsbDevice, kUsbCmdOpenVendorChannel, nullptr, 0, nullptr, nullptr);
        if (result != kUsbResultOk) RaiseStatus(MapResult(result));
        // A configuration read that fails leaves gaps the engine finds later.
        if (!Initialize()) TRACE(kLogWarning | kLogInterface);
    });
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogInterface, status);
        LogEvent(WdfDriverWdmGetDriverObject(link.owner->OwnerDriver()), kMajorPnp, MSG_ROOT_DEVICE_LOAD_FAILED, status);
    }
    return status;
}

// PASSIVE_LEVEL. The USB driver accepts the query only while its device is
// ready; otherwise it is going away and stops calling by itself.
void UsbAudioDeviceTarget::Unbind() {
    if (ioTarget_ != nullptr) {
        AUDIODEVICE_INTERFACE query{};
        query.Size = kAudioDeviceInterfaceSize;
        query.Version = kAudioDeviceInterfaceVersion;
        NTSTATUS status = WdfIoTargetQueryForInterface(ioTarget_, &interfaceType_, reinterpret_cast<INTERFACE*>(&query),
                                                       kAudioDeviceInterfaceSize, kAudioDeviceInterfaceVersion, nullptr);
        if (!NT_SUCCESS(status)) TRACE(kLogInfo | kLogInterface, status);
    }
    DropInterface();
}

void UsbAudioDeviceTarget::DropInterface() {
    if (commandLock_ == nullptr) {
        RtlZeroMemory(&deviceInterface_, sizeof(deviceInterface_));
        return;
    }
    // Waits for a command in flight, so none reaches the USB driver afterwards.
    WaitLockScope lock(commandLock_);
    WritePointerRelease(&deviceInterface_.CommandContext, nullptr);
    RtlZeroMemory(&deviceInterface_, sizeof(deviceInterface_));
}

void UsbAudioDeviceTarget::DropCommandContext() { WritePointerRelease(&deviceInterface_.CommandContext, nullptr); }

ULONG UsbAudioDeviceTarget::Command(USHORT category, USHORT command, const void* in, ULONG64 inLength, void* out,
                                    ULONG64* outLength) {
    if (commandLock_ == nullptr) return AudioDevice::Command(category, command, in, inLength, out, outLength);
    WaitLockScope lock(commandLock_);
    return AudioDevice::Command(category, command, in, inLength, out, outLength);
}

ULONG UsbAudioDeviceTarget::SendCommand(USHORT category, USHORT command, const void* in, ULONG64 inLength, void* out,
                                        ULONG64* outLength) {
    ULONG64 capacity = outLength != nullptr ? *outLength : 0;
    ULONG result = kUsbResultNotReady;
    for (ULONG attempt = 0; attempt < kNotReadyAttempts; ++attempt) {
        PVOID context = ReadPointerAcquire(&deviceInterface_.CommandContext);
        PFN_AUDIODEVICE_COMMAND entry = deviceInterface_.CommandEntry;
        if (context == nullptr || entry == nullptr) {
            TRACE(kLogWarning | kLogInterface, category, command);
            return kUsbResultNotConnected;
        }
        if (outLength != nullptr) *outLength = capacity;
        result = entry(context, category, command, const_cast<void*>(in), inLength, out, outLength);
        if (result != kUsbResultNotReady) return result;
        SleepMs(kNotReadyWaitMs);
    }
    return result;
}

bool UsbAudioDeviceTarget::StartDeviceStreaming() {
    ULONG on = 1;
    ULONG result = Command(kDcpCategoryUsbDevice, kUsbCmdSetStreaming, &on, sizeof(on), nullptr, nullptr);
    if (result != kUsbResultOk) TRACE(kLogError | kLogInterface, result);
    return result == kUsbResultOk;
}

bool UsbAudioDeviceTarget::StopDeviceStreaming() {
    ULONG off = 0;
    ULONG result = Command(kDcpCategoryUsbDevice, kUsbCmdSetStreaming, &off, sizeof(off), nullptr, nullptr);
    if (result != kUsbResultOk) TRACE(kLogError | kLogInterface, result);
    return result == kUsbResultOk;
}

bool UsbAudioDeviceTarget::IsStreaming() { return link_.owner != nullptr && link_.owner->OwnerStreaming(); }

NTSTATUS UsbAudioDeviceTarget::ResetStreamState() {
    if (mappedStreamState_ != nullptr) {
        mappedStreamState_->captureCursorPosition = 0;
        mappedStreamState_->playbackCursorPosition = 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioDeviceTarget::SetStreamFormat(ULONG rate, ULONG periodFrames, ULONG operationMode) {
    lastStreamFormat_.periodFrames = periodFrames;
    lastStreamFormat_.clockSource = static_cast<USHORT>(GetClockSource());
    lastStreamFormat_.sampleRate = rate;
    lastStreamFormat_.outputChannels = GetOutputChannelCount(rate);
    lastStreamFormat_.inputChannels = GetInputChannelCount(rate);
    lastStreamFormat_.operationMode = operationMode;
    StreamFormat format = lastStreamFormat_;
    ULONG result = Command(kDcpCategoryUsbDevice, kUsbCmdSetStreamFormat, &format, sizeof(format), nullptr, nullptr);
    if (result != kUsbResultOk) {
        TRACE(kLogError | kLogInterface, result, rate);
        return MapResult(result);
    }
    return ResetStreamState();
}

// The USB driver writes the address of its StreamState into the first 8
// bytes; the input is a full-sized scratch record so that nothing it writes
// lands outside the proxy.
NTSTATUS UsbAudioDeviceTarget::MapStreamState() {
    UCHAR scratch[kMapScratchBytes] = {};
    ULONG result = Command(kDcpCategoryUsbDevice, kUsbCmdMapStreamState, scratch, sizeof(scratch), nullptr, nullptr);
    if (result != kUsbResultOk) {
        TRACE(kLogError | kLogInterface, result);
        return MapResult(result);
    }
    RtlCopyMemory(&mappedStreamState_, scratch, sizeof(mappedStreamState_));
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioDeviceTarget::SetOperationMode(ULONG mode) {
    ULONG result = Command(kDcpCategoryUsbDevice, kUsbCmdSetOperationMode, &mode, sizeof(mode), nullptr, nullptr);
    if (result != kUsbResultOk) TRACE(kLogError | kLogInterface, result, mode);
    return MapResult(result);
}

NTSTATUS UsbAudioDeviceTarget::GetLatency(ULONG* framesPerMs, ULONG* safetyFrames) {
    ULONG reply[2] = {};
    ULONG result = Command(kDcpCategoryUsbDevice, kUsbCmdGetLatency, reply, sizeof(reply), nullptr, nullptr);
    if (result != kUsbResultOk) {
        TRACE(kLogError | kLogInterface, result);
        return MapResult(result);
    }
    if (framesPerMs != nullptr) *framesPerMs = reply[1];
    if (safetyFrames != nullptr) *safetyFrames = reply[0];
    return STATUS_SUCCESS;
}

bool UsbAudioDeviceTarget::QueryBusy(ULONG* busy) {
    ULONG value = busy != nullptr ? *busy : 0;
    ULONG result = Command(kDcpCategoryUsbDevice, kUsbCmdQueryBusy, &value, sizeof(value), nullptr, nullptr);
    if (result != kUsbResultOk) {
        TRACE(kLogError | kLogInterface, result);
        return false;
    }
    if (busy != nullptr) *busy = value;
    return true;
}

// DISPATCH_LEVEL (type 0, from the vendor channel's interrupt) or PASSIVE_LEVEL (type 2).
ULONG UsbAudioDeviceTarget::OnDeviceNotification(PVOID ownerContext, PVOID deviceContext, ULONG type, ULONG value) {
    auto* owner = static_cast<const DeviceOwner*>(ownerContext);
    if (owner == nullptr) {
        TRACE(kLogError | kLogInterface, type, value);
        return kUsbResultBufferTooSmall;
    }
    if (owner->ListedDeviceCount() == 0) {
        LogEvent(WdfDriverWdmGetDriverObject(owner->OwnerDriver()), kMajorPnp, MSG_NO_DEVICE_FOUND,
                 STATUS_DEVICE_DOES_NOT_EXIST);
        return kUsbResultNotConnected;
    }
    if (!owner->ListsDevice(deviceContext)) {
        TRACE(kLogError | kLogInterface, type, value);
        return kUsbResultBufferTooSmall;
    }
    auto* device = static_cast<UsbAudioDeviceTarget*>(deviceContext);
    if (type == kNotifyTypeDeviceBits) {
        device->QueueDeviceNotification(value);
        return kUsbResultOk;
    }
    if (type != kNotifyTypePower) return kUsbResultOk;
    switch (value) {
        case kPowerLost:
            TRACE(kLogWarning | kLogInterface, value);
            (void)owner->DeviceLost();
            return kUsbResultOk;
        case kPowerNote:
            TRACE(kLogInfo | kLogInterface, value);
            return kUsbResultOk;
        case kPowerLeftForGood:
            (void)owner->DeviceLost();
            device->DropCommandContext();
            return kUsbResultOk;
        case kPowerSleeping:
            (void)owner->DeviceLost();
            return kUsbResultOk;
        case kPowerBackInD0:
            (void)owner->DeviceBack();
            return kUsbResultOk;
        default:
            TRACE(kLogWarning | kLogInterface, value);
            return kUsbResultBufferTooSmall;
    }
}

void UsbAudioDeviceTarget::QueueDeviceNotification(ULONG bits) {
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, DeviceNotificationWork);
    config.AutomaticSerialization = TRUE;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, WORK_ITEM_CONTEXT);
    attributes.ParentObject = rootDevice_;
    WDFWORKITEM workItem = nullptr;
    NTSTATUS status = rootDevice_ != nullptr ? WdfWorkItemCreate(&config, &attributes, &workItem)
                                             : STATUS_INVALID_DEVICE_STATE;
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogInterface, status, bits);
        if (rootDevice_ != nullptr) {
            LogEvent(WdfDeviceWdmGetDeviceObject(rootDevice_), kMajorPnp, MSG_DCP_NOTIFICATION_FAILED, status);
        }
        return;
    }
    WORK_ITEM_CONTEXT* context = GetWorkItemContext(workItem);
    context->notificationBits = bits;
    context->palId = PalId();
    context->ownerOf = link_.ownerOf;
    WdfWorkItemEnqueue(workItem);
}

// PASSIVE_LEVEL
void UsbAudioDeviceTarget::DeviceNotificationWork(WDFWORKITEM workItem) {
    PAGED_CODE();
    WORK_ITEM_CONTEXT* context = GetWorkItemContext(workItem);
    WDFOBJECT parent = WdfWorkItemGetParentObject(workItem);
    if (context == nullptr || parent == nullptr) {
        TRACE(kLogError | kLogInterface);
        WdfObjectDelete(workItem);
        return;
    }
    ULONG bits = context->notificationBits;
    ULONG64 palId = context->palId;
    const DeviceOwner* owner = context->ownerOf != nullptr ? context->ownerOf(static_cast<WDFDEVICE>(parent)) : nullptr;
    if (owner != nullptr) owner->DeviceNotified(palId, bits);
    WdfObjectDelete(workItem);
}

// DISPATCH_LEVEL (or PASSIVE_LEVEL for a pull the kick started). MIDI ports
// belong to the MIDI children; a direction without a MidiDevice takes no traffic.
NTSTATUS UsbAudioDeviceTarget::OnMidiData(PVOID context, UCHAR direction, UCHAR cable, ULONG* word, UCHAR) {
    auto* proxy = static_cast<UsbAudioDeviceTarget*>(context);
    if (direction != kMidiDirectionOut && direction != kMidiDirectionIn) {
        TRACE_RT(kLogError | kLogMidi, direction, cable);
        return STATUS_NOT_IMPLEMENTED;
    }
    if (proxy == nullptr || word == nullptr) return STATUS_INTERNAL_ERROR;
    bool output = direction == kMidiDirectionOut;
    KIRQL irql;
    KeAcquireSpinLock(&proxy->midiLock_, &irql);
    MidiEndpoint* first = proxy->midiDevices_[output ? 1 : 0];
    NTSTATUS status = first != nullptr ? STATUS_SUCCESS : STATUS_INTERNAL_ERROR;
    if (!output) {
        // Every child listening on the port hears it.
        ULONG64 time = KeQueryInterruptTime();
        for (MidiEndpoint* midi = first; midi != nullptr; midi = midi->nextOfDevice) {
            (void)midi->DeliverInput(cable, word, time);
        }
    } else if (first != nullptr) {
        status = proxy->PullMidiOutput(first, cable, word);
    }
    KeReleaseSpinLock(&proxy->midiLock_, irql);
    return status;
}

// Under midiLock_. The child that delivered the cable's last byte is asked
// first, then the others; the first byte found answers, kNoMidiData when none has one.
NTSTATUS UsbAudioDeviceTarget::PullMidiOutput(MidiEndpoint* first, UCHAR cable, ULONG* word) {
    MidiEndpoint** source = cable < vexa::child::kMidiMaxPorts ? &pullSource_[cable] : nullptr;
    MidiEndpoint* last = source != nullptr ? *source : nullptr;
    if (last != nullptr && NT_SUCCESS(last->PullOutput(cable, word))) return STATUS_SUCCESS;
    NTSTATUS status = vexa::child::kNoMidiData;  // each answer without a byte leaves the word naming the cable
    for (MidiEndpoint* midi = first; midi != nullptr; midi = midi->nextOfDevice) {
        if (midi == last) continue;
        status = midi->PullOutput(cable, word);
        if (!NT_SUCCESS(status)) continue;
        if (source != nullptr) *source = midi;
        break;
    }
    return status;
}

// PASSIVE_LEVEL, on the PnP thread, before the USB driver hears of the removal.
void UsbAudioDeviceTarget::OnTargetRemoveComplete(WDFIOTARGET target) {
    PAGED_CODE();
    AUDIODEVICEIOTARGET* context = GetAudioDeviceIoTarget(target);
    const DeviceOwner* owner = context != nullptr ? context->owner : nullptr;
    if (owner == nullptr) return;
    owner->TargetRemoved(context);
}
