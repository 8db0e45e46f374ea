// The URBs of a stream: creation and formatting, start and stop, and the
// completion routine that sends each URB out again and, once per capture
// URB that carried frames, runs the root driver's period.
#include "stream.h"

#include <algorithm>

#include "event_log.h"
#include "logger.h"
#include "messages.h"

#define LOG_FILE_NUMBER 468

using namespace vexa::log;

namespace {

constexpr ULONG kFrameDistance = 10;  // the first URB goes out this many frames ahead
constexpr USBD_STATUS kPacketStatusUnset = static_cast<USBD_STATUS>(0xFFFFFFFF);
constexpr LONGLONG kMicrosecondsPerSecond = 1'000'000;

WDFUSBDEVICE UsbDeviceOf(IsoStream* stream) { return stream->device->configuration.deviceContext->usbDevice; }

WDFIOTARGET TargetOf(IsoStream* stream) { return WdfUsbTargetPipeGetIoTarget(stream->pipe->pipe); }

// The counter's rate is fixed while the machine runs: the start takes it once.
ULONG64 MicrosecondsNow(const IsoStream* stream) {
    return static_cast<ULONG64>(KeQueryPerformanceCounter(nullptr).QuadPart / stream->ticksPerMicrosecond);
}

// Marks each packet's status unset; a capture packet's length goes out 0.
// Inlined, so a constant count lays its loop out straight.
[[gnu::always_inline]] inline void ResetPackets(USBD_ISO_PACKET_DESCRIPTOR* packets, ULONG count, bool output) {
    if (output) {
        for (ULONG k = 0; k < count; ++k) packets[k].Status = kPacketStatusUnset;
        return;
    }
    for (ULONG k = 0; k < count; ++k) {
        packets[k].Status = kPacketStatusUnset;
        packets[k].Length = 0;
    }
}

[[nodiscard]] NTSTATUS IsoUrbFormat(IsoUrbContext* context, ULONG startFrame) {
    IsoStream* stream = context->stream;
    if (context->urb == nullptr || context->bufferSlice == nullptr || context->packetCount == 0 ||
        stream->pipe == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    USBD_PIPE_HANDLE pipeHandle = stream->pipeHandle;
    if (pipeHandle == nullptr) return STATUS_INVALID_PARAMETER;
    URB_ISOCH_TRANSFER& urb = context->urb->UrbIsochronousTransfer;
    // The fixed part is rebuilt, every field of it (one clear of its 140
    // bytes took a string instruction, slow to start, on every resubmission);
    // the packet table keeps its layout.
    urb.Hdr = URB_HEADER{};
    urb.Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(context->packetCount));
    urb.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    urb.PipeHandle = pipeHandle;
    urb.TransferFlags = stream->isOutput ? 0 : USBD_TRANSFER_DIRECTION_IN;
    if (startFrame == 0) urb.TransferFlags |= USBD_START_ISO_TRANSFER_ASAP;
    urb.TransferBufferLength = context->transferBytes;
    urb.TransferBuffer = context->bufferSlice;
    urb.TransferBufferMDL = nullptr;
    urb.UrbLink = nullptr;
    urb.hca = URB_HCD_AREA{};
    urb.StartFrame = startFrame;
    urb.NumberOfPackets = context->packetCount;
    urb.ErrorCount = 0;
    static_assert(offsetof(URB_ISOCH_TRANSFER, IsoPacket) == offsetof(URB_ISOCH_TRANSFER, ErrorCount) + sizeof(ULONG),
                  "every field before the packet table is set above");
    // Capture packets come back with the lengths received: they go out empty.
    if (context->packetCount == kPacketsPerFrame * kFramesPerUrb) {
        ResetPackets(urb.IsoPacket, kPacketsPerFrame * kFramesPerUrb, stream->isOutput != 0);
    } else {
        ResetPackets(urb.IsoPacket, context->packetCount, stream->isOutput != 0);
    }
    NTSTATUS status;
    if (context->request == nullptr) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = UsbDeviceOf(stream);
        status = WdfRequestCreate(&attributes, stream->pipeTarget, &context->request);
    } else {
        WDF_REQUEST_REUSE_PARAMS reuse;
        WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
        status = WdfRequestReuse(context->request, &reuse);
    }
    if (!NT_SUCCESS(status)) return status;
    status = WdfUsbTargetPipeFormatRequestForUrb(stream->pipe->pipe, context->request, context->urbMemory, nullptr);
    if (!NT_SUCCESS(status)) return status;
    WdfRequestSetCompletionRoutine(context->request, IsoUrbComplete, context);
    return STATUS_SUCCESS;
}

void UrbEnded(IsoStream* stream) {
    UsbFunctionDevice* device = stream->device;
    if (InterlockedDecrement(&stream->outstandingUrbs) == 0) {
        if (InterlockedDecrement(&device->runningStreamCount) == 0) InterlockedExchange(&device->sharedStartFrame, 0);
    }
}

// Caller holds streamLock and has checked `active`.
[[nodiscard]] NTSTATUS IsoUrbSend(IsoUrbContext* context) {
    IsoStream* stream = context->stream;
    if (InterlockedIncrement(&stream->outstandingUrbs) == 1) InterlockedIncrement(&stream->device->runningStreamCount);
    if (WdfRequestSend(context->request, stream->pipeTarget, WDF_NO_SEND_OPTIONS)) return STATUS_SUCCESS;
    NTSTATUS status = WdfRequestGetStatus(context->request);
    TRACE_RT(kLogError | kLogStream, status, context->urbIndex);
    UrbEnded(stream);
    return status;
}

[[nodiscard]] NTSTATUS IsoUrbResubmit(IsoStream* stream, IsoUrbContext* context) {
    ULONG current = 0;
    NTSTATUS status = WdfUsbTargetDeviceRetrieveCurrentFrameNumber(UsbDeviceOf(stream), &current);
    if (!NT_SUCCESS(status)) return status;
    if (static_cast<LONG>(stream->nextFrame - current) <= 0) {
        TRACE_RT(kLogWarning | kLogStream, stream->nextFrame, current);  // the schedule fell behind the bus
        stream->nextFrame = current + stream->framesPerUrb;
    }
    status = IsoUrbFormat(context, stream->nextFrame);
    if (!NT_SUCCESS(status)) return status;
    KIRQL irql;
    KeAcquireSpinLock(&stream->streamLock, &irql);
    if (stream->active != 0) {
        status = IsoUrbSend(context);
        if (NT_SUCCESS(status)) stream->nextFrame += stream->framesPerUrb;
    } else {
        status = STATUS_INVALID_PARAMETER;
    }
    KeReleaseSpinLock(&stream->streamLock, irql);
    return status;
}

// ---- the completion path -------------------------------------------------------------------

// What a completion says about its URB.
enum class UrbOutcome {
    Cancelled,       // a stop or the removal took it back: it ends quietly
    DeviceNotReady,  // the device left the ready state meanwhile: it ends
    Transferred,     // it carried its data
    DeviceGone,      // the device was pulled out: it is marked removed
    Failed,          // any other error: reported, and the slot is kept
};

UrbOutcome Classify(UsbFunctionDevice* device, NTSTATUS status, NTSTATUS ioStatus, USBD_STATUS usbd) {
    if (status == STATUS_CANCELLED || ioStatus == STATUS_CANCELLED || ioStatus == STATUS_DEVICE_NOT_CONNECTED) {
        return UrbOutcome::Cancelled;
    }
    if (ReadNoFence(&device->deviceState) != kDeviceStateReady) return UrbOutcome::DeviceNotReady;
    if (NT_SUCCESS(status) && usbd >= 0) return UrbOutcome::Transferred;
    if (usbd == USBD_STATUS_DEVICE_GONE || status == STATUS_NO_SUCH_DEVICE) return UrbOutcome::DeviceGone;
    return UrbOutcome::Failed;
}

// Channel counts of the directions this device has are set.
bool ChannelsReady(UsbFunctionDevice* device) {
    const StreamState& state = device->streamState;
    return (device->playbackStream == nullptr || state.playbackChannels != 0) &&
           (device->captureStream == nullptr || state.captureChannels != 0);
}

// The period: the root driver's clients get this URB's frames.
void RunPeriod(IsoStream* stream, IsoUrbContext* context, bool frameKnown, ULONG current) {
    UsbFunctionDevice* device = stream->device;
    if (ProducerBehind(device, context->urb->UrbIsochronousTransfer.StartFrame, frameKnown, current)) {
        TRACE_RT(kLogWarning | kLogStream, context->urbIndex, current);
        RingResync(device, context->urbIndex, false);
    }
    if (InterlockedCompareExchange(&device->modeChangePending, 0, 1) == 1) RingResync(device, context->urbIndex, false);
    // A query accepted meanwhile replaces the pair: it is taken whole, under the lock the acceptance holds.
    DEVICE_CONTEXT* deviceContext = device->configuration.deviceContext;  // the context of device->wdfDevice
    WdfSpinLockAcquire(deviceContext->stateLock);
    PFN_AUDIODEVICE_REALTIME callback = device->deviceInterface.RealtimeCallback;
    PVOID realtimeContext = device->deviceInterface.RealtimeContext;
    WdfSpinLockRelease(deviceContext->stateLock);
    if (callback != nullptr) callback(realtimeContext, KeQueryInterruptTime() * 100, context->frames);
    PublishCursors(device->streamState);
}

// A URB that carried its data: while streaming, the stream steps on (the
// clock stream resynchronises the ring at its second completion) and the
// clock stream runs the period. Returns whether the URB goes out again.
bool ProcessTransferred(IsoStream* stream, IsoUrbContext* context, bool streaming) {
    UsbFunctionDevice* device = stream->device;
    RecycleUrb(stream, context, true);
    if (!streaming) return false;
    if (!ChannelsReady(device)) {
        TRACE_RT(kLogError | kLogStream, device->streamState.playbackChannels, device->streamState.captureChannels);
        return false;
    }
    if (context->urbIndex != stream->expectedUrbIndex) {
        // Completions came out of order: follow the URB that did come.
        TRACE_RT(kLogWarning | kLogStream, context->urbIndex, stream->expectedUrbIndex);
        stream->expectedUrbIndex = context->urbIndex;
    }
    bool clock = stream == ClockStream(device);
    if (ReadNoFence(&stream->state) == kStreamFirstComplete) {
        if (clock) RingResync(device, context->urbIndex, true);
        WriteNoFence(&stream->state, kStreamRunning);
    }
    if (clock && ReadNoFence(&stream->state) == kStreamRunning && context->frames > 0) {
        // Only the period compares the bus frame with the schedule: the other stream asks for none.
        ULONG current = 0;
        bool frameKnown = NT_SUCCESS(WdfUsbTargetDeviceRetrieveCurrentFrameNumber(UsbDeviceOf(stream), &current));
        RunPeriod(stream, context, frameKnown, current);
    }
    if (ReadNoFence(&stream->state) == kStreamStarted) WriteNoFence(&stream->state, kStreamFirstComplete);
    return true;
}

// A stream whose last URB ended without a successor is stopped, and says so.
void NoteStoppedStream(IsoStream* stream) {
    if (ReadNoFence(&stream->outstandingUrbs) != 0) return;
    UsbFunctionDevice* device = stream->device;
    KIRQL irql;
    KeAcquireSpinLock(&stream->streamLock, &irql);
    if (ReadNoFence(&stream->outstandingUrbs) == 0 && stream->active != 0 &&
        (ReadNoFence(&device->streamingOn) == 0 || ReadNoFence(&device->deviceState) != kDeviceStateReady)) {
        WriteNoFence(&stream->active, 0);
        WriteNoFence(&stream->state, kStreamStopped);
    }
    KeReleaseSpinLock(&stream->streamLock, irql);
}

}  // namespace

NTSTATUS IsoUrbCreate(IsoStream* stream, IsoUrbContext* context, ULONG packets, ULONG index, UCHAR* slice,
                      ULONG bytes) {
    ULONG perFrame = PacketsPerFrame(stream->pipe->information.Interval);
    if (packets > USBD_ISO_PACKETS_MAX || packets % perFrame != 0) return STATUS_INVALID_PARAMETER;
    WDFUSBDEVICE usbDevice = stream->device->configuration.deviceContext->usbDevice;
    if (usbDevice == nullptr) return STATUS_UNSUCCESSFUL;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = usbDevice;
    NTSTATUS status =
        WdfUsbTargetDeviceCreateIsochUrb(usbDevice, &attributes, packets, &context->urbMemory, &context->urb);
    if (!NT_SUCCESS(status)) return status;
    context->urbIndex = index;
    context->bufferSlice = slice;
    context->sliceBytes = bytes;
    context->transferBytes = bytes;
    context->packetCount = packets;
    URB_ISOCH_TRANSFER& urb = context->urb->UrbIsochronousTransfer;
    for (ULONG k = 0; k < packets; ++k) {
        urb.IsoPacket[k].Offset = k * (bytes / packets);
        urb.IsoPacket[k].Length = stream->isOutput ? bytes / packets : 0;
    }
    return STATUS_SUCCESS;
}

void FreeUrbContexts(IsoStream* stream) {
    for (IsoUrbContext*& context : stream->urbs) {
        if (context == nullptr) continue;
        if (context->request != nullptr) WdfObjectDelete(context->request);
        if (context->urbMemory != nullptr) WdfObjectDelete(context->urbMemory);
        ExFreePoolWithTag(context, kPoolTagObject);
        context = nullptr;
    }
}

NTSTATUS IsoStreamStart(IsoStream* stream) {
    if (stream->buffer == nullptr || stream->pipe == nullptr) return STATUS_INVALID_PARAMETER;
    if (ReadNoFence(&stream->outstandingUrbs) != 0) return STATUS_DEVICE_BUSY;
    ULONG current = 0;
    if (!NT_SUCCESS(WdfUsbTargetDeviceRetrieveCurrentFrameNumber(UsbDeviceOf(stream), &current))) {
        return STATUS_INVALID_PARAMETER;
    }
    UsbFunctionDevice* device = stream->device;
    ULONG start;
    if (ReadNoFence(&device->runningStreamCount) == 0) {
        start = current + kFrameDistance;
        InterlockedExchange(&device->sharedStartFrame, static_cast<LONG>(start));
    } else {
        // Join the running schedule, so capture URB i and playback URB i share a start frame.
        start = static_cast<ULONG>(ReadNoFence(&device->sharedStartFrame));
        if (static_cast<LONG>(start - current) < 0) {
            TRACE(kLogWarning | kLogStream, start, current);
            while (static_cast<LONG>(start - current) < 0) start += stream->framesPerUrb * kUrbCount;
        }
    }
    stream->pipeTarget = TargetOf(stream);
    stream->pipeHandle = WdfUsbTargetPipeWdmGetPipeHandle(stream->pipe->pipe);
    for (ULONG i = 0; i < kUrbCount; ++i) {
        NTSTATUS status = IsoUrbFormat(stream->urbs[i], start + i * stream->framesPerUrb);
        if (!NT_SUCCESS(status)) return status;
    }
    stream->lastCompletionTime = 0;
    LARGE_INTEGER frequency;
    (void)KeQueryPerformanceCounter(&frequency);
    // A counter slower than a megahertz would make the divisor 0: its ticks then stand for microseconds.
    stream->ticksPerMicrosecond = std::max<LONGLONG>(frequency.QuadPart / kMicrosecondsPerSecond, 1);
    WriteNoFence(&stream->state, kStreamStarted);
    stream->expectedUrbIndex = 0;
    stream->nextFrame = start + kUrbCount * stream->framesPerUrb;

    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&stream->streamLock, &irql);
    WriteNoFence(&stream->active, 1);
    for (ULONG i = 0; i < kUrbCount && NT_SUCCESS(status); ++i) status = IsoUrbSend(stream->urbs[i]);
    KeReleaseSpinLock(&stream->streamLock, irql);
    if (!NT_SUCCESS(status)) return status;
    // The target starts after the lock (it needs PASSIVE_LEVEL); URBs sent to
    // a stopped target wait for it and go out together.
    return WdfIoTargetStart(stream->pipeTarget);
}

void IsoStreamStop(IsoStream* stream) {
    KIRQL irql;
    KeAcquireSpinLock(&stream->streamLock, &irql);
    bool wasActive = stream->active != 0;
    WriteNoFence(&stream->active, 0);
    WriteNoFence(&stream->state, kStreamStopped);
    KeReleaseSpinLock(&stream->streamLock, irql);
    if (stream->pipe == nullptr) return;
    if (wasActive || ReadNoFence(&stream->outstandingUrbs) != 0) {
        // With streaming off the completions do not resend: the URBs drain.
        WdfIoTargetStop(TargetOf(stream), WdfIoTargetWaitForSentIoToComplete);
        AbortPipe(stream->pipe);
    }
}

// DISPATCH_LEVEL, on the USB completion path: classify the URB's end,
// process what it brought, re-check the streaming and device state after the
// callouts, send it out again, and report the URB ended.
void IsoUrbComplete(WDFREQUEST request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context) {
    auto* urbContext = static_cast<IsoUrbContext*>(context);
    if (urbContext == nullptr || urbContext->stream == nullptr) {
        TRACE_RT(kLogError | kLogStream, urbContext);
        return;
    }
    IsoStream* stream = urbContext->stream;
    ULONG64 now = MicrosecondsNow(stream);
    UsbFunctionDevice* device = stream->device;
    NTSTATUS status = WdfRequestGetStatus(request);
    USBD_STATUS usbd = urbContext->urb->UrbHeader.Status;
    NTSTATUS ioStatus = params != nullptr ? params->IoStatus.Status : status;

    UrbOutcome outcome = Classify(device, status, ioStatus, usbd);
    bool streaming = ReadNoFence(&device->streamingOn) != 0;
    if (outcome != UrbOutcome::Cancelled) {
        TRACE_RT(kLogDetail | kLogStream, urbContext->urbIndex, urbContext->urb->UrbIsochronousTransfer.StartFrame,
                 now - stream->lastCompletionTime);
        stream->lastCompletionTime = now;
    }

    bool resubmit = false;
    switch (outcome) {
        case UrbOutcome::Cancelled:
            TRACE_RT(kLogDetail | kLogStream, urbContext->urbIndex, status);
            break;
        case UrbOutcome::DeviceNotReady:
            TRACE_RT(kLogWarning | kLogStream, ReadNoFence(&device->deviceState));
            break;
        case UrbOutcome::Transferred:
            resubmit = ProcessTransferred(stream, urbContext, streaming);
            break;
        case UrbOutcome::DeviceGone:
            TRACE_RT(kLogWarning | kLogStream, status, usbd);
            WriteNoFence(&device->deviceState, kDeviceStateRemoved);
            break;
        case UrbOutcome::Failed:
            TRACE_RT(kLogError | kLogStream, status, usbd, urbContext->urbIndex);
            LogEvent(WdfDeviceWdmGetDeviceObject(device->wdfDevice), kMajorPnp, MSG_STREAMING_FAILED, usbd);
            // One failed URB must not cost the stream a slot of its ten: lay it out again and resend it.
            RecycleUrb(stream, urbContext, false);
            resubmit = streaming;
            break;
    }

    // A stop or a removal may have come during the callouts: then the URB stays home.
    if (resubmit && ReadNoFence(&device->streamingOn) != 0 && ReadNoFence(&device->deviceState) == kDeviceStateReady) {
        NTSTATUS sent = IsoUrbResubmit(stream, urbContext);
        if (!NT_SUCCESS(sent)) TRACE_RT(kLogError | kLogStream, sent, urbContext->urbIndex);
    }

    stream->expectedUrbIndex = (urbContext->urbIndex + 1) % kUrbCount;
    UrbEnded(stream);
    NoteStoppedStream(stream);
}
