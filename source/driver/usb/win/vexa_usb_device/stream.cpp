// The stream objects: descriptor parsing, creation and shutdown, the rate,
// the format the root driver sets (0x401/7) and streaming switched on and off
// (0x401/6). The ring is in stream_ring.cpp, the URBs in stream_urb.cpp.
#include "stream.h"

#include "logger.h"
#include "platform/usb/usbd.h"
#include "status_error.h"

#define LOG_FILE_NUMBER 462

using namespace vexa::log;

namespace {

// The one sample format streamed: 24-bit samples in 4-byte subslots.
constexpr ULONG kSubslotBytes = 4;
constexpr ULONG kBitResolution = 24;

// ---- descriptors -----------------------------------------------------------------

struct StreamDescriptors {
    UCHAR settingIndex;
    const USB_ENDPOINT_DESCRIPTOR* endpoint;
    const UacAsGeneralDescriptor* asGeneral;
    const UacFormatTypeIDescriptor* formatTypeI;
};

// The interface's first audio-streaming setting at or after `from`; null when none is left.
const USB_INTERFACE_DESCRIPTOR* StreamSettingFrom(USB_CONFIGURATION_DESCRIPTOR* config, const void* from,
                                                  UCHAR interfaceNumber) {
    return USBD_ParseConfigurationDescriptorEx(config, const_cast<void*>(from), interfaceNumber, -1, kAudioClass,
                                               kAudioStreamingSubclass, -1);
}

// The first setting of the interface that has a data endpoint, AS_GENERAL and FORMAT_TYPE I.
bool FindStreamSetting(USB_CONFIGURATION* configuration, UCHAR interfaceNumber, StreamDescriptors* found) {
    USB_CONFIGURATION_DESCRIPTOR* config = configuration->configurationDescriptor;
    UCHAR index = 0;
    for (const USB_INTERFACE_DESCRIPTOR* setting = StreamSettingFrom(config, config, interfaceNumber);
         setting != nullptr;
         setting = StreamSettingFrom(config, reinterpret_cast<const UCHAR*>(setting) + setting->bLength, interfaceNumber),
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

// Frees what the stream's creation made, however far it got, and the stream.
void FreeStream(IsoStream* stream) {
    FreeUrbContexts(stream);
    FreeRing(stream);
    if (stream->buffer != nullptr) ExFreePoolWithTag(stream->buffer, kPoolTagBuffer);
    ExFreePoolWithTag(stream, kPoolTagObject);
}

}  // namespace

IsoStream* ClockStream(UsbFunctionDevice* device) {
    return device->captureStream != nullptr ? device->captureStream : device->playbackStream;
}

NTSTATUS IsoStreamCreate(UsbFunctionDevice* device, InterfaceObject* object) {
    auto* stream = static_cast<IsoStream*>(ExAllocatePoolWithTag(g_nonPagedPool, sizeof(IsoStream), kPoolTagObject));
    if (stream == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(stream, sizeof(*stream));
    stream->device = device;
    stream->interface = object;
    stream->framesPerUrb = kFramesPerUrb;
    KeInitializeSpinLock(&stream->streamLock);
    NTSTATUS status = CatchStatus([&] {
        ParseStream(stream, &device->configuration);
        RaiseIfFailed(SelectStreamSetting(stream));
        RaiseIfFailed(CheckIsochronousPipe(stream->pipe));
        stream->maxPacketSize = stream->pipe->information.MaximumPacketSize;
        stream->bufferBytes = stream->maxPacketSize * stream->framesPerUrb * kUrbCount * kPacketsPerFrame;
        stream->buffer =
            static_cast<UCHAR*>(ExAllocatePoolWithTag(g_nonPagedPool, stream->bufferBytes, kPoolTagBuffer));
        if (stream->buffer == nullptr) RaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
        RtlZeroMemory(stream->buffer, stream->bufferBytes);
        BuildRing(stream);
    });
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogStream, status);
        FreeStream(stream);
        return status;
    }
    // A later stream of the same direction replaces the pointer; the earlier one is not lost.
    IsoStream** slot = stream->isOutput ? &device->playbackStream : &device->captureStream;
    if (*slot != nullptr) (void)IsoStreamShutdown(*slot);
    *slot = stream;
    TRACE(kLogInfo | kLogStream, stream->isOutput, stream->channels, stream->maxPacketSize);
    return status;
}

NTSTATUS IsoStreamShutdown(IsoStream* stream) {
    UsbFunctionDevice* device = stream->device;
    IsoStreamStop(stream);
    if (IsoStreamBusy(stream)) {
        TRACE(kLogError | kLogStream, STATUS_UNSUCCESSFUL, ReadNoFence(&stream->outstandingUrbs));
        return STATUS_UNSUCCESSFUL;
    }
    FreeUrbContexts(stream);
    (void)SelectAlternateSetting(stream->interface, 0);
    stream->pipe = nullptr;
    if (device->playbackStream == stream) device->playbackStream = nullptr;
    if (device->captureStream == stream) device->captureStream = nullptr;
    FreeStream(stream);
    return STATUS_SUCCESS;
}

bool IsoStreamBusy(IsoStream* stream) {
    KIRQL irql;
    KeAcquireSpinLock(&stream->streamLock, &irql);
    bool busy = stream->active != 0 || ReadNoFence(&stream->outstandingUrbs) != 0;
    KeReleaseSpinLock(&stream->streamLock, irql);
    return busy;
}

bool StreamsActive(UsbFunctionDevice* device) {
    return (device->playbackStream != nullptr && IsoStreamBusy(device->playbackStream)) ||
           (device->captureStream != nullptr && IsoStreamBusy(device->captureStream));
}

NTSTATUS StreamSetRate(IsoStream* stream, ULONG rate, bool reselect) {
    if (ReadNoFence(&stream->active) != 0) return STATUS_UNSUCCESSFUL;
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

// Not while streaming: nothing else writes the stream state meanwhile.
NTSTATUS ApplyStreamFormat(UsbFunctionDevice* device, const StreamFormat& format) {
    if (ReadNoFence(&device->streamingOn) != 0 || StreamsActive(device)) return STATUS_DEVICE_BUSY;
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
        StreamStateHalf half = HalfOf(device->streamState, stream->isOutput);
        half.channels = channels;
        PlaceHalf(half, stream->ringHead, 0);
        half.reserved = 0;
        half.ringBytes = stream->bufferBytes;
        half.periodFrames = format.periodFrames;
        half.periodSamples = format.periodFrames * channels;
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
