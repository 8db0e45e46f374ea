// The isochronous capture and playback streams: descriptor parsing, the URB
// ring, playback frame arithmetic, start and stop, the completion routine
// that calls the root driver once per captured millisecond, and the stream
// commands of category 0x401.
#include "stream.h"

#include "event_log.h"
#include "logger.h"
#include "messages.h"
#include "platform/usb/usbd.h"
#include "status_error.h"

#define LOG_FILE_NUMBER 462

using namespace vexa::log;

namespace {

// The one sample format streamed: 24-bit samples in 4-byte subslots.
constexpr ULONG kSubslotBytes = 4;
constexpr ULONG kBitResolution = 24;
constexpr ULONG kFrameDistance = 10;  // the first URB goes out this many frames ahead
constexpr USBD_STATUS kPacketStatusUnset = static_cast<USBD_STATUS>(0xFFFFFFFF);
constexpr ULONG kFallbackResyncUrb = 2;

IsoStream* ClockStream(UsbFunctionDevice* device) {
    return device->captureStream != nullptr ? device->captureStream : device->playbackStream;
}

// ---- descriptors -----------------------------------------------------------------

struct StreamDescriptors {
    UCHAR settingIndex;
    const USB_ENDPOINT_DESCRIPTOR* endpoint;
    const UacAsGeneralDescriptor* asGeneral;
    const UacFormatTypeIDescriptor* formatTypeI;
};

// The first setting of the interface that has a data endpoint, AS_GENERAL and FORMAT_TYPE I.
bool FindStreamSetting(USB_CONFIGURATION* configuration, UCHAR interfaceNumber, StreamDescriptors* found) {
    USB_CONFIGURATION_DESCRIPTOR* config = configuration->configurationDescriptor;
    UCHAR index = 0;
    for (const USB_INTERFACE_DESCRIPTOR* setting = USBD_ParseConfigurationDescriptorEx(
             config, config, interfaceNumber, -1, kAudioClass, kAudioStreamingSubclass, -1);
         setting != nullptr;
         setting = USBD_ParseConfigurationDescriptorEx(config, const_cast<UCHAR*>(reinterpret_cast<const UCHAR*>(setting)) +
                                                                   setting->bLength,
                                                       interfaceNumber, -1, kAudioClass, kAudioStreamingSubclass, -1),
         ++index) {
        StreamDescriptors d{index, nullptr, nullptr, nullptr};
        for (const USB_COMMON_DESCRIPTOR* p = NextDescriptorOfType(configuration, setting, 0); p != nullptr;
             p = NextDescriptorOfType(configuration, p, 0)) {
            const auto* endpoint = reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(p);
            const auto* general = reinterpret_cast<const UacAsGeneralDescriptor*>(p);
            const auto* format = reinterpret_cast<const UacFormatTypeIDescriptor*>(p);
            if (p->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && p->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR) &&
                (endpoint->bmAttributes & kEndpointFeedbackUsage) == 0 && d.endpoint == nullptr) {
                d.endpoint = endpoint;
            } else if (p->bDescriptorType == kCsInterface && p->bLength >= kAsGeneralReadBytes &&
                       general->bDescriptorSubtype == kAsGeneral) {
                d.asGeneral = general;
            } else if (p->bDescriptorType == kCsInterface && p->bLength >= sizeof(UacFormatTypeIDescriptor) &&
                       format->bDescriptorSubtype == kAsFormatType && format->bFormatType == kFormatTypeI) {
                d.formatTypeI = format;
            }
        }
        if (d.endpoint != nullptr && d.asGeneral != nullptr && d.formatTypeI != nullptr) {
            *found = d;
            return true;
        }
    }
    return false;
}

void ParseStream(IsoStream* stream, USB_CONFIGURATION* configuration) {
    const USB_INTERFACE_DESCRIPTOR* own = stream->interface->descriptor;
    if (own == nullptr || own->bInterfaceClass != kAudioClass || own->bInterfaceSubClass != kAudioStreamingSubclass) {
        RaiseStatus(STATUS_INVALID_PARAMETER);
    }
    StreamDescriptors d;
    if (!FindStreamSetting(configuration, own->bInterfaceNumber, &d)) RaiseStatus(STATUS_INVALID_PARAMETER);
    stream->alternateSetting = d.settingIndex;
    stream->endpointAddress = d.endpoint->bEndpointAddress;
    stream->endpointAttributes = d.endpoint->bmAttributes;
    stream->isOutput = (d.endpoint->bEndpointAddress & USB_ENDPOINT_DIRECTION_MASK) == 0;
    stream->channels = d.asGeneral->bNrChannels;
    stream->subslotSize = d.formatTypeI->bSubslotSize;
    stream->bytesPerFrame = stream->channels * stream->subslotSize;
    stream->synchronousEndpoint =
        ((d.endpoint->bmAttributes >> kEndpointSyncTypeShift) & kEndpointSyncTypeMask) == kEndpointSyncSynchronous;
    if (stream->channels == 0 || stream->subslotSize == 0 || !stream->synchronousEndpoint ||
        stream->subslotSize != kSubslotBytes || d.formatTypeI->bBitResolution != kBitResolution) {
        TRACE(kLogError | kLogStream, stream->channels, stream->subslotSize, stream->endpointAttributes,
              d.formatTypeI->bBitResolution);
        RaiseStatus(STATUS_INVALID_PARAMETER);
    }
}

// Selects the streaming setting and takes its data pipe.
[[nodiscard]] NTSTATUS SelectStreamSetting(IsoStream* stream) {
    if (stream->alternateSetting == 0) return STATUS_INVALID_PARAMETER;
    NTSTATUS status = SelectAlternateSetting(stream->interface, stream->alternateSetting);
    if (!NT_SUCCESS(status)) return status;
    stream->pipe = nullptr;
    for (ULONG i = 0; i < PipeCount(stream->interface); ++i) {
        PipeRecord* pipe = stream->interface->pipes[i];
        if (pipe->information.EndpointAddress == stream->endpointAddress) stream->pipe = pipe;
    }
    return stream->pipe != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// ---- ring layout -------------------------------------------------------------------

// Lays a playback URB out for its next transmission: packet lengths follow
// the rate accumulator, packets are contiguous from the slice start. A layout
// that would not fit the slice keeps the previous one whole.
void RelayPlaybackUrb(IsoStream* stream, IsoUrbContext* context) {
    URB_ISOCH_TRANSFER& urb = context->urb->UrbIsochronousTransfer;
    ULONG accumulator = stream->rateAccumulator;
    ULONG frames[kPacketsPerFrame * kFramesPerUrb];
    ULONG total = 0;
    for (ULONG k = 0; k < context->packetCount; ++k) {
        accumulator += stream->rateIncrement;
        frames[k] = accumulator >> 16;
        accumulator &= 0xFFFF;
        total += frames[k] * stream->bytesPerFrame;
    }
    stream->rateAccumulator = accumulator;
    if (total > context->sliceBytes) {
        TRACE_RT(kLogError | kLogStream, total, context->sliceBytes);
        return;
    }
    ULONG offset = 0;
    ULONG urbFrames = 0;
    RingPacket* packet = context->firstPacket;
    for (ULONG k = 0; k < context->packetCount; ++k, packet = packet->next) {
        ULONG length = frames[k] * stream->bytesPerFrame;
        urb.IsoPacket[k].Offset = offset;
        urb.IsoPacket[k].Length = length;
        packet->frames = frames[k];
        packet->samples = length / stream->subslotSize;
        packet->data = reinterpret_cast<LONG*>(context->bufferSlice + offset);
        offset += length;
        urbFrames += frames[k];
    }
    context->frames = urbFrames;
    context->transferBytes = total;
}

// Counts what a capture URB brought: counting stops at the first empty
// packet, and it and every packet after it carry nothing this time.
void CountCaptureFrames(IsoStream* stream, IsoUrbContext* context) {
    const URB_ISOCH_TRANSFER& urb = context->urb->UrbIsochronousTransfer;
    ULONG urbFrames = 0;
    bool empty = false;
    RingPacket* packet = context->firstPacket;
    for (ULONG k = 0; k < context->packetCount; ++k, packet = packet->next) {
        ULONG length = std::min(urb.IsoPacket[k].Length, stream->maxPacketSize);
        ULONG frames = empty ? 0 : length / stream->bytesPerFrame;
        if (frames == 0) empty = true;
        packet->frames = frames;
        packet->samples = frames * stream->channels;
        packet->data = reinterpret_cast<LONG*>(context->bufferSlice + urb.IsoPacket[k].Offset);
        urbFrames += frames;
    }
    context->frames = urbFrames;
    if (urbFrames == 0) TRACE_RT(kLogWarning | kLogStream, context->urbIndex);
}

void ClearPackets(IsoUrbContext* context) {
    RingPacket* packet = context->firstPacket;
    for (ULONG k = 0; k < context->packetCount; ++k, packet = packet->next) {
        packet->frames = 0;
        packet->samples = 0;
    }
    context->frames = 0;
}

[[nodiscard]] NTSTATUS IsoUrbCreate(IsoStream* stream, IsoUrbContext* context, ULONG packets, ULONG index, UCHAR* slice,
                                    ULONG bytes) {
    ULONG perFrame = PacketsPerFrame(stream->pipe->information.Interval);
    if (packets > USBD_ISO_PACKETS_MAX || packets % perFrame != 0) return STATUS_INVALID_PARAMETER;
    WDFUSBDEVICE usbDevice = stream->device->configuration.deviceContext->usbDevice;
    if (usbDevice == nullptr) return STATUS_UNSUCCESSFUL;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = usbDevice;
    NTSTATUS status = WdfUsbTargetDeviceCreateIsochUrb(usbDevice, &attributes, packets, &context->urbMemory, &context->urb);
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

void FreeRing(IsoStream* stream) {
    RingPacket* packet = stream->ringHead;
    for (ULONG n = 0; packet != nullptr && n < kUrbCount * kPacketsPerFrame * kFramesPerUrb; ++n) {
        RingPacket* next = packet->next;
        ExFreePoolWithTag(packet, kPoolTagObject);
        packet = next == stream->ringHead ? nullptr : next;
    }
    stream->ringHead = nullptr;
}

void BuildRing(IsoStream* stream) {
    ULONG sliceBytes = stream->framesPerUrb * stream->maxPacketSize * kPacketsPerFrame;
    RingPacket* last = nullptr;
    for (ULONG i = 0; i < kUrbCount; ++i) {
        auto* context = static_cast<IsoUrbContext*>(
            ExAllocatePoolWithTag(g_nonPagedPool, sizeof(IsoUrbContext), kPoolTagObject));
        if (context == nullptr) RaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
        RtlZeroMemory(context, sizeof(*context));
        context->stream = stream;
        stream->urbs[i] = context;
        RaiseIfFailed(IsoUrbCreate(stream, context, kPacketsPerFrame * stream->framesPerUrb, i,
                                   stream->buffer + i * sliceBytes, sliceBytes));
        for (ULONG k = 0; k < context->packetCount; ++k) {
            auto* packet = static_cast<RingPacket*>(ExAllocatePoolWithTag(g_nonPagedPool, sizeof(RingPacket), kPoolTagObject));
            if (packet == nullptr) RaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
            RtlZeroMemory(packet, sizeof(*packet));
            packet->urbIndex = i;
            packet->data = reinterpret_cast<LONG*>(context->bufferSlice + context->urb->UrbIsochronousTransfer.IsoPacket[k].Offset);
            if (last == nullptr) {
                stream->ringHead = packet;
            } else {
                last->next = packet;
            }
            if (k == 0) context->firstPacket = packet;
            last = packet;
            packet->next = stream->ringHead;  // the circle stays closed as it grows
        }
        if (stream->isOutput) RelayPlaybackUrb(stream, context);
    }
}

}  // namespace

NTSTATUS IsoStreamCreate(UsbFunctionDevice* device, InterfaceObject* object) {
    auto* stream = static_cast<IsoStream*>(ExAllocatePoolWithTag(g_nonPagedPool, sizeof(IsoStream), kPoolTagObject));
    if (stream == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(stream, sizeof(*stream));
    stream->device = device;
    stream->interface = object;
    stream->framesPerUrb = kFramesPerUrb;
    KeInitializeSpinLock(&stream->streamLock);
    NTSTATUS status = STATUS_SUCCESS;
    try {
        ParseStream(stream, &device->configuration);
        RaiseIfFailed(SelectStreamSetting(stream));
        RaiseIfFailed(CheckIsochronousPipe(stream->pipe));
        stream->maxPacketSize = stream->pipe->information.MaximumPacketSize;
        stream->bufferBytes = stream->maxPacketSize * stream->framesPerUrb * kUrbCount * kPacketsPerFrame;
        stream->buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(g_nonPagedPool, stream->bufferBytes, kPoolTagBuffer));
        if (stream->buffer == nullptr) RaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
        RtlZeroMemory(stream->buffer, stream->bufferBytes);
        BuildRing(stream);
    } catch (const StatusError& error) {
        status = error.status;
        TRACE(kLogError | kLogStream, status);
        FreeUrbContexts(stream);
        FreeRing(stream);
        if (stream->buffer != nullptr) ExFreePoolWithTag(stream->buffer, kPoolTagBuffer);
        ExFreePoolWithTag(stream, kPoolTagObject);
        return status;
    }
    // A later stream of the same direction replaces the pointer; the earlier one is not lost.
    IsoStream** slot = stream->isOutput ? &device->playbackStream : &device->captureStream;
    if (*slot != nullptr) (void)IsoStreamShutdown(*slot);
    *slot = stream;
    TRACE(kLogInfo | kLogStream, stream->isOutput, stream->channels, stream->maxPacketSize);
    return status;
}

namespace {

// ---- start, stop and the completion path ------------------------------------------------------

WDFUSBDEVICE UsbDeviceOf(IsoStream* stream) { return stream->device->configuration.deviceContext->usbDevice; }

WDFIOTARGET TargetOf(IsoStream* stream) { return WdfUsbTargetPipeGetIoTarget(stream->pipe->pipe); }

void IsoUrbComplete(WDFREQUEST request, WDFIOTARGET target, PWDF_REQUEST_COMPLETION_PARAMS params,
                    WDFCONTEXT context);

[[nodiscard]] NTSTATUS IsoUrbFormat(IsoUrbContext* context, ULONG startFrame) {
    IsoStream* stream = context->stream;
    if (context->urb == nullptr || context->bufferSlice == nullptr || context->packetCount == 0 || stream->pipe == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    USBD_PIPE_HANDLE pipeHandle = WdfUsbTargetPipeWdmGetPipeHandle(stream->pipe->pipe);
    if (pipeHandle == nullptr) return STATUS_INVALID_PARAMETER;
    URB_ISOCH_TRANSFER& urb = context->urb->UrbIsochronousTransfer;
    // The fixed part is rebuilt; the packet table keeps its layout.
    RtlZeroMemory(&urb, offsetof(URB_ISOCH_TRANSFER, IsoPacket));
    urb.Hdr.Length = static_cast<USHORT>(GET_ISO_URB_SIZE(context->packetCount));
    urb.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    urb.PipeHandle = pipeHandle;
    urb.TransferFlags = stream->isOutput ? 0 : USBD_TRANSFER_DIRECTION_IN;
    if (startFrame == 0) urb.TransferFlags |= USBD_START_ISO_TRANSFER_ASAP;
    urb.TransferBufferLength = context->transferBytes;
    urb.TransferBuffer = context->bufferSlice;
    urb.StartFrame = startFrame;
    urb.NumberOfPackets = context->packetCount;
    for (ULONG k = 0; k < context->packetCount; ++k) {
        urb.IsoPacket[k].Status = kPacketStatusUnset;
        if (!stream->isOutput) urb.IsoPacket[k].Length = 0;
    }
    NTSTATUS status;
    if (context->request == nullptr) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = UsbDeviceOf(stream);
        status = WdfRequestCreate(&attributes, TargetOf(stream), &context->request);
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
    if (WdfRequestSend(context->request, TargetOf(stream), WDF_NO_SEND_OPTIONS)) return STATUS_SUCCESS;
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

// Puts the playback producer a safety distance ahead of capture URB `urbIndex`.
void RingResync(UsbFunctionDevice* device, ULONG urbIndex, bool resetCapture) {
    StreamState& state = device->streamState;
    if (urbIndex >= kUrbCount) {
        TRACE_RT(kLogError | kLogStream, urbIndex);
        urbIndex = kFallbackResyncUrb;
    }
    if (IsoStream* playback = device->playbackStream; playback != nullptr && playback->urbs[urbIndex] != nullptr) {
        ULONG offset = SafetyFrames(device->streamFormat.sampleRate, device->streamFormat.operationMode);
        RingPacket* packet = playback->urbs[urbIndex]->firstPacket;
        // One circle at most: a ring of empty packets has nowhere to stop.
        for (ULONG n = 0; n < kUrbCount * kPacketsPerFrame * playback->framesPerUrb && offset >= packet->frames; ++n) {
            offset -= packet->frames;
            packet = packet->next;
        }
        if (offset >= packet->frames) offset = 0;
        state.playbackCursorPacket = packet;
        state.playbackEndPacket = packet;
        state.playbackCursorPosition = offset * state.playbackChannels;
        state.playbackEndPosition = offset * state.playbackChannels;
    }
    IsoStream* capture = device->captureStream;
    if (resetCapture && capture != nullptr && capture->urbs[urbIndex] != nullptr) {
        state.captureCursorPacket = capture->urbs[urbIndex]->firstPacket;
        state.captureEndPacket = capture->urbs[urbIndex]->firstPacket;
        state.captureCursorPosition = 0;
        state.captureEndPosition = 0;
    }
}

// The clients' next period starts where their last one ended.
void PublishCursor(RingPacket* endPacket, ULONG endPosition, ULONG channels, RingPacket** cursorPacket,
                   ULONG* cursorPosition) {
    if (endPacket == nullptr || channels == 0) return;
    if (endPosition / channels == endPacket->frames) {
        *cursorPacket = endPacket->next;
        *cursorPosition = 0;
    } else {
        *cursorPacket = endPacket;
        *cursorPosition = endPosition;
    }
}

// Has the playback producer fallen behind the bus?
bool ProducerBehind(UsbFunctionDevice* device, ULONG urbStartFrame, bool frameKnown, ULONG current) {
    IsoStream* playback = device->playbackStream;
    RingPacket* cursor = device->streamState.playbackCursorPacket;
    if (!frameKnown || playback == nullptr || cursor == nullptr || cursor->urbIndex >= kUrbCount) return false;
    if (static_cast<LONG>(current - urbStartFrame) < 0) return false;
    ULONG cursorStart = playback->urbs[cursor->urbIndex]->urb->UrbIsochronousTransfer.StartFrame;
    return static_cast<LONG>(cursorStart - current) <= 0;
}

// The period: the root driver's clients get this URB's frames.
void RunPeriod(IsoStream* stream, IsoUrbContext* context, bool frameKnown, ULONG current) {
    UsbFunctionDevice* device = stream->device;
    if (ProducerBehind(device, context->urb->UrbIsochronousTransfer.StartFrame, frameKnown, current)) {
        TRACE_RT(kLogWarning | kLogStream, context->urbIndex, current);
        RingResync(device, context->urbIndex, false);
    }
    if (InterlockedCompareExchange(&device->modeChangePending, 0, 1) == 1) RingResync(device, context->urbIndex, false);
    PFN_AUDIODEVICE_REALTIME callback = device->deviceInterface.RealtimeCallback;
    if (callback != nullptr) {
        callback(device->deviceInterface.RealtimeContext, KeQueryInterruptTime() * 100, context->frames);
    }
    StreamState& state = device->streamState;
    PublishCursor(state.playbackEndPacket, state.playbackEndPosition, state.playbackChannels,
                  &state.playbackCursorPacket, &state.playbackCursorPosition);
    PublishCursor(state.captureEndPacket, state.captureEndPosition, state.captureChannels, &state.captureCursorPacket,
                  &state.captureCursorPosition);
}

// Channel counts of the directions this device has are set.
bool ChannelsReady(UsbFunctionDevice* device) {
    const StreamState& state = device->streamState;
    return (device->playbackStream == nullptr || state.playbackChannels != 0) &&
           (device->captureStream == nullptr || state.captureChannels != 0);
}

// DISPATCH_LEVEL, on the USB completion path.
void IsoUrbComplete(WDFREQUEST request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context) {
    auto* urbContext = static_cast<IsoUrbContext*>(context);
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    ULONG64 now = static_cast<ULONG64>(counter.QuadPart / (frequency.QuadPart / 1'000'000));
    if (urbContext == nullptr || urbContext->stream == nullptr) {
        TRACE_RT(kLogError | kLogStream, urbContext);
        return;
    }
    IsoStream* stream = urbContext->stream;
    UsbFunctionDevice* device = stream->device;
    NTSTATUS status = WdfRequestGetStatus(request);
    USBD_STATUS usbd = urbContext->urb->UrbHeader.Status;
    NTSTATUS ioStatus = params != nullptr ? params->IoStatus.Status : status;
    bool resubmit = false;

    if (status == STATUS_CANCELLED || ioStatus == STATUS_CANCELLED || ioStatus == STATUS_DEVICE_NOT_CONNECTED) {
        TRACE_RT(kLogDetail | kLogStream, urbContext->urbIndex, status);
    } else {
        TRACE_RT(kLogDetail | kLogStream, urbContext->urbIndex, urbContext->urb->UrbIsochronousTransfer.StartFrame,
                 now - stream->lastCompletionTime);
        stream->lastCompletionTime = now;
        bool streaming = device->streamingOn != 0;
        if (device->deviceState != kDeviceStateReady) {
            TRACE_RT(kLogWarning | kLogStream, device->deviceState);
        } else if (NT_SUCCESS(status) && usbd >= 0) {
            if (stream->isOutput) {
                RelayPlaybackUrb(stream, urbContext);
                RtlZeroMemory(urbContext->bufferSlice, urbContext->transferBytes);
            } else {
                CountCaptureFrames(stream, urbContext);
            }
            if (streaming && !ChannelsReady(device)) {
                TRACE_RT(kLogError | kLogStream, device->streamState.playbackChannels, device->streamState.captureChannels);
            } else if (streaming) {
                ULONG current = 0;
                bool frameKnown = NT_SUCCESS(WdfUsbTargetDeviceRetrieveCurrentFrameNumber(UsbDeviceOf(stream), &current));
                if (urbContext->urbIndex != stream->expectedUrbIndex) {
                    // Completions came out of order: follow the URB that did come.
                    TRACE_RT(kLogWarning | kLogStream, urbContext->urbIndex, stream->expectedUrbIndex);
                    stream->expectedUrbIndex = urbContext->urbIndex;
                }
                bool clock = stream == ClockStream(device);
                if (stream->state == kStreamFirstComplete) {
                    if (clock) RingResync(device, urbContext->urbIndex, true);
                    stream->state = kStreamRunning;
                }
                if (clock && stream->state == kStreamRunning && urbContext->frames > 0) {
                    RunPeriod(stream, urbContext, frameKnown, current);
                }
                if (stream->state == kStreamStarted) stream->state = kStreamFirstComplete;
                resubmit = true;
            }
        } else if (usbd == USBD_STATUS_DEVICE_GONE || status == STATUS_NO_SUCH_DEVICE) {
            TRACE_RT(kLogWarning | kLogStream, status, usbd);
            device->deviceState = kDeviceStateRemoved;
        } else {
            TRACE_RT(kLogError | kLogStream, status, usbd, urbContext->urbIndex);
            LogEvent(WdfDeviceWdmGetDeviceObject(device->wdfDevice), kMajorPnp, MSG_STREAMING_FAILED, usbd);
            // One failed URB must not cost the stream a slot of its ten: lay it out again and resend it.
            if (stream->isOutput) {
                RelayPlaybackUrb(stream, urbContext);
                RtlZeroMemory(urbContext->bufferSlice, urbContext->transferBytes);
            } else {
                ClearPackets(urbContext);
            }
            resubmit = streaming;
        }
    }
    if (resubmit && device->streamingOn != 0 && device->deviceState == kDeviceStateReady) {
        NTSTATUS sent = IsoUrbResubmit(stream, urbContext);
        if (!NT_SUCCESS(sent)) TRACE_RT(kLogError | kLogStream, sent, urbContext->urbIndex);
    }
    stream->expectedUrbIndex = (urbContext->urbIndex + 1) % kUrbCount;
    UrbEnded(stream);
    // A stream whose last URB ended without a successor is stopped, and says so.
    if (stream->outstandingUrbs == 0) {
        KIRQL irql;
        KeAcquireSpinLock(&stream->streamLock, &irql);
        if (stream->outstandingUrbs == 0 && stream->active != 0 &&
            (device->streamingOn == 0 || device->deviceState != kDeviceStateReady)) {
            stream->active = 0;
            stream->state = kStreamStopped;
        }
        KeReleaseSpinLock(&stream->streamLock, irql);
    }
}

[[nodiscard]] NTSTATUS IsoStreamStart(IsoStream* stream) {
    if (stream->buffer == nullptr || stream->pipe == nullptr) return STATUS_INVALID_PARAMETER;
    if (stream->outstandingUrbs != 0) return STATUS_DEVICE_BUSY;
    ULONG current = 0;
    if (!NT_SUCCESS(WdfUsbTargetDeviceRetrieveCurrentFrameNumber(UsbDeviceOf(stream), &current))) {
        return STATUS_INVALID_PARAMETER;
    }
    UsbFunctionDevice* device = stream->device;
    ULONG start;
    if (device->runningStreamCount == 0) {
        start = current + kFrameDistance;
        InterlockedExchange(&device->sharedStartFrame, static_cast<LONG>(start));
    } else {
        // Join the running schedule, so capture URB i and playback URB i share a start frame.
        start = static_cast<ULONG>(device->sharedStartFrame);
        if (static_cast<LONG>(start - current) < 0) {
            TRACE(kLogWarning | kLogStream, start, current);
            while (static_cast<LONG>(start - current) < 0) start += stream->framesPerUrb * kUrbCount;
        }
    }
    for (ULONG i = 0; i < kUrbCount; ++i) {
        NTSTATUS status = IsoUrbFormat(stream->urbs[i], start + i * stream->framesPerUrb);
        if (!NT_SUCCESS(status)) return status;
    }
    stream->lastCompletionTime = 0;
    stream->state = kStreamStarted;
    stream->expectedUrbIndex = 0;
    stream->nextFrame = start + kUrbCount * stream->framesPerUrb;

    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&stream->streamLock, &irql);
    stream->active = 1;
    for (ULONG i = 0; i < kUrbCount && NT_SUCCESS(status); ++i) status = IsoUrbSend(stream->urbs[i]);
    KeReleaseSpinLock(&stream->streamLock, irql);
    if (!NT_SUCCESS(status)) return status;
    // The target starts after the lock (it needs PASSIVE_LEVEL); URBs sent to
    // a stopped target wait for it and go out together.
    return WdfIoTargetStart(TargetOf(stream));
}

void IsoStreamStop(IsoStream* stream) {
    KIRQL irql;
    KeAcquireSpinLock(&stream->streamLock, &irql);
    bool wasActive = stream->active != 0;
    stream->active = 0;
    stream->state = kStreamStopped;
    KeReleaseSpinLock(&stream->streamLock, irql);
    if (stream->pipe == nullptr) return;
    if (wasActive || stream->outstandingUrbs != 0) {
        // With streaming off the completions do not resend: the URBs drain.
        WdfIoTargetStop(TargetOf(stream), WdfIoTargetWaitForSentIoToComplete);
        AbortPipe(stream->pipe);
    }
}

[[nodiscard]] NTSTATUS IsoStreamDestroy(IsoStream* stream) {
    if (stream->active != 0 || stream->outstandingUrbs != 0) return STATUS_UNSUCCESSFUL;
    FreeUrbContexts(stream);
    if (stream->buffer != nullptr) ExFreePoolWithTag(stream->buffer, kPoolTagBuffer);
    stream->buffer = nullptr;
    (void)SelectAlternateSetting(stream->interface, 0);
    stream->pipe = nullptr;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS IsoStreamShutdown(IsoStream* stream) {
    UsbFunctionDevice* device = stream->device;
    IsoStreamStop(stream);
    NTSTATUS status = IsoStreamDestroy(stream);
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogStream, status, stream->outstandingUrbs);
        return status;
    }
    FreeRing(stream);
    if (device->playbackStream == stream) device->playbackStream = nullptr;
    if (device->captureStream == stream) device->captureStream = nullptr;
    ExFreePoolWithTag(stream, kPoolTagObject);
    return STATUS_SUCCESS;
}

bool IsoStreamBusy(IsoStream* stream) {
    KIRQL irql;
    KeAcquireSpinLock(&stream->streamLock, &irql);
    bool busy = stream->active != 0 || stream->outstandingUrbs != 0;
    KeReleaseSpinLock(&stream->streamLock, irql);
    return busy;
}

bool StreamsActive(UsbFunctionDevice* device) {
    return (device->playbackStream != nullptr && IsoStreamBusy(device->playbackStream)) ||
           (device->captureStream != nullptr && IsoStreamBusy(device->captureStream));
}

NTSTATUS StreamSetRate(IsoStream* stream, ULONG rate, bool reselect) {
    if (stream->active != 0) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = STATUS_SUCCESS;
    if (reselect) {
        status = SelectStreamSetting(stream);
        (void)SelectAlternateSetting(stream->interface, 0);
        // Setting 0 has no data pipe: the stream forgets the records that went with the old setting.
        stream->pipe = nullptr;
    }
    stream->sampleRate = rate;
    stream->rateAccumulator = 0;
    stream->rateIncrement = static_cast<ULONG>((static_cast<ULONG64>(rate) * 65536) / kMicroframesPerSecond);
    return status;
}

NTSTATUS StreamsTakeRate(UsbFunctionDevice* device, ULONG rate, bool reselect) {
    NTSTATUS status = STATUS_SUCCESS;
    for (IsoStream* stream : {device->playbackStream, device->captureStream}) {
        if (stream == nullptr) continue;
        NTSTATUS one = StreamSetRate(stream, rate, reselect);
        if (!NT_SUCCESS(one) && NT_SUCCESS(status)) status = one;
    }
    return status;
}

NTSTATUS ApplyStreamFormat(UsbFunctionDevice* device, const StreamFormat& format) {
    if (device->streamingOn != 0 || StreamsActive(device)) return STATUS_DEVICE_BUSY;
    for (IsoStream* stream : {device->playbackStream, device->captureStream}) {
        if (stream == nullptr) continue;
        ULONG channels = stream->isOutput ? format.outputChannels : format.inputChannels;
        if (channels == 0 && (!stream->isOutput || stream->synchronousEndpoint)) return STATUS_INVALID_PARAMETER;
        // Packets carry the setting's channels: a format cannot ask for more.
        if (channels > stream->channels) return STATUS_INVALID_PARAMETER;
        // A failed re-selection leaves the stream without a pipe: its start then refuses.
        if (NT_SUCCESS(SelectStreamSetting(stream)) && stream->isOutput) {
            stream->rateAccumulator = 0;
            for (IsoUrbContext* context : stream->urbs) RelayPlaybackUrb(stream, context);
        }
        if (stream->ringHead == nullptr) return STATUS_DEVICE_NOT_READY;
        // Positions step by the channels the packets carry, the setting's; a
        // format may use fewer (the rest travel as silence).
        channels = stream->channels;
        StreamState& state = device->streamState;
        if (stream->isOutput) {
            state.playbackChannels = channels;
            state.playbackCursorPacket = state.playbackEndPacket = stream->ringHead;
            state.playbackCursorPosition = state.playbackEndPosition = 0;
            state.reserved100 = 0;
            state.playbackRingBytes = stream->bufferBytes;
            state.playbackPeriodFrames = format.periodFrames;
            state.playbackPeriodSamples = format.periodFrames * channels;
        } else {
            state.captureChannels = channels;
            state.captureCursorPacket = state.captureEndPacket = stream->ringHead;
            state.captureCursorPosition = state.captureEndPosition = 0;
            state.reserved36 = 0;
            state.captureRingBytes = stream->bufferBytes;
            state.capturePeriodFrames = format.periodFrames;
            state.capturePeriodSamples = format.periodFrames * channels;
        }
    }
    device->streamFormat = format;
    device->streamFormat.reserved2 = 0;
    return STATUS_SUCCESS;
}

bool StartStreaming(UsbFunctionDevice* device) {
    if (InterlockedCompareExchange(&device->streamingOn, 1, 0) != 0) {
        TRACE(kLogWarning | kLogStream);
        return true;
    }
    // streamingOn is set first: the first completions must find it on.
    IsoStream* started = nullptr;
    for (IsoStream* stream : {device->playbackStream, device->captureStream}) {
        if (stream == nullptr) continue;
        NTSTATUS status = IsoStreamStart(stream);
        if (!NT_SUCCESS(status)) {
            TRACE(kLogError | kLogStream, status, stream->isOutput);
            // A start that fails half-way stops what it started.
            InterlockedExchange(&device->streamingOn, 0);
            IsoStreamStop(stream);
            if (started != nullptr) IsoStreamStop(started);
            return false;
        }
        started = stream;
    }
    return true;
}

bool StopStreaming(UsbFunctionDevice* device) {
    if (InterlockedExchange(&device->streamingOn, 0) == 0) {
        TRACE(kLogDetail | kLogStream);
        return true;
    }
    if (device->captureStream != nullptr) IsoStreamStop(device->captureStream);
    if (device->playbackStream != nullptr) IsoStreamStop(device->playbackStream);
    return true;
}
