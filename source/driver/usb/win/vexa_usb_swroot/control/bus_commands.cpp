// The root's own DCP commands (category 0x400): PAL client registration, the
// bus settings, and the bus-wide setters.
#define LOG_FILE_NUMBER 104

#include <cstddef>

#include "control/root.h"
#include "logger.h"

using namespace vexa::log;
using namespace vexa::pal;

namespace {

constexpr size_t kReplyHeaderBytes = sizeof(DcpReply);
constexpr size_t kDataOffset = sizeof(DcpRequest);

void SetReplyStatus(UCHAR* buffer, uint32_t status) {
    RtlCopyMemory(buffer + offsetof(DcpReply, status), &status, sizeof(status));
}

// The u32 argument at +16; a command sent without it reads as 0.
ULONG Argument(const UCHAR* buffer, size_t inputLength) {
    ULONG value = 0;
    if (inputLength >= kDataOffset + sizeof(value)) RtlCopyMemory(&value, buffer + kDataOffset, sizeof(value));
    return value;
}

[[nodiscard]] NTSTATUS RegisterClient(DEVICE_EXTENSION* extension, WDFREQUEST request) {
    WDFFILEOBJECT file = WdfRequestGetFileObject(request);
    FILECONTEXT* context = file != nullptr ? GetFileContext(file) : nullptr;
    if (context == nullptr) return STATUS_INVALID_PARAMETER;
    if (ReadPointerAcquire(&context->palClient) != nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    auto* client = new PalClient(file);
    if (client == nullptr) return STATUS_INSUFFICIENT_RESOURCES;  // nothing registered
    NTSTATUS status = extension->palClientManager->Register(client);
    if (!NT_SUCCESS(status)) {
        delete client;
        return status;
    }
    WritePointerRelease(&context->palClient, client);
    return STATUS_SUCCESS;
}

[[nodiscard]] NTSTATUS UnregisterClient(DEVICE_EXTENSION* extension, WDFREQUEST request) {
    WDFFILEOBJECT file = WdfRequestGetFileObject(request);
    FILECONTEXT* context = file != nullptr ? GetFileContext(file) : nullptr;
    if (context == nullptr) return STATUS_INVALID_PARAMETER;
    PalClient* client = TakePalClient(context);
    if (client == nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    NTSTATUS status = extension->palClientManager->Unregister(client);
    if (!NT_SUCCESS(status)) {
        // The client stays with its handle.
        WritePointerRelease(&context->palClient, client);
        return status;
    }
    delete client;
    return STATUS_SUCCESS;
}

[[nodiscard]] NTSTATUS GetSettings(DEVICE_EXTENSION* extension, WDFREQUEST request) {
    PVOID output = nullptr;
    if (!NT_SUCCESS(WdfRequestRetrieveOutputBuffer(request, kReplyHeaderBytes + sizeof(BusSettingsBlock), &output,
                                                   nullptr))) {
        return STATUS_INVALID_PARAMETER;
    }
    BusSettingsBlock block{};
    AudioEngine* engine = extension->engine;
    AudioClientManager* manager = extension->clientManager;
    bool present = engine->WithCurrentDevice([&](AudioDevice* device) {
        if (device == nullptr) return false;
        block.clockSource = device->GetClockSource();
        block.sampleRate = device->GetSampleRate();
        return true;
    });
    if (present) {
        EngineSettings settings = engine->EngineGetSettings();
        block.operationMode = settings.operationMode;
        block.bufferSize = manager->BufferSizeForRate(block.sampleRate);
        block.minBufferSize = manager->MinBufferSize();
        block.maxBufferSize = manager->MaxBufferSize();
        block.outputChannels = settings.outputChannelCount;
        block.inputChannels = settings.inputChannelCount;
        block.deviceCount = engine->DeviceIds(block.deviceIds, &block.currentDeviceId);
    }
    RtlCopyMemory(static_cast<UCHAR*>(output) + kReplyHeaderBytes, &block, sizeof(block));
    return STATUS_SUCCESS;
}

// The setters do nothing without a device, and tell the library the bus changed when they act.
[[nodiscard]] NTSTATUS SetSampleRate(DEVICE_EXTENSION* extension, ULONG rate) {
    AudioEngine* engine = extension->engine;
    ULONG clock = 0;
    bool present = engine->WithCurrentDevice([&](AudioDevice* device) {
        if (device == nullptr) return false;
        clock = device->GetClockSource();
        return true;
    });
    if (!present) return STATUS_SUCCESS;
    if (NTSTATUS status = engine->EngineSetRate(rate, clock, true); !NT_SUCCESS(status)) {
        TRACE(kLogWarning | kLogRequest, status, rate);
    }
    // The base carries over into the band of the rate actually in effect: a
    // rate the device refused (or does not list) leaves band and size alone.
    AudioClientManager* manager = extension->clientManager;
    (void)manager->SetBufferSize(manager->BufferSizeForRate(manager->CurrentRate()));
    manager->VetoFormats();
    (void)extension->palClientManager->Notify(kPalNotifyBusChanged, 0, 0);
    return STATUS_SUCCESS;
}

[[nodiscard]] NTSTATUS SetClockSource(DEVICE_EXTENSION* extension, ULONG clock) {
    bool present = extension->engine->WithCurrentDevice([&](AudioDevice* device) {
        if (device == nullptr) return false;
        if (!device->SetClock(device->GetSampleRate(), ClockId(clock))) TRACE(kLogWarning | kLogRequest, clock);
        return true;
    });
    if (!present) return STATUS_SUCCESS;
    extension->clientManager->VetoFormats();
    (void)extension->palClientManager->Notify(kPalNotifyBusChanged, 0, 0);
    return STATUS_SUCCESS;
}

[[nodiscard]] NTSTATUS SetOperationMode(DEVICE_EXTENSION* extension, ULONG mode) {
    if (extension->engine->DeviceCount() == 0) return STATUS_SUCCESS;
    if (NTSTATUS status = extension->engine->EngineSetOperationMode(mode); !NT_SUCCESS(status)) {
        TRACE(kLogWarning | kLogRequest, status, mode);
    }
    (void)extension->palClientManager->Notify(kPalNotifyBusChanged, 0, 0);
    return STATUS_SUCCESS;
}

[[nodiscard]] NTSTATUS SetBufferSize(DEVICE_EXTENSION* extension, ULONG frames) {
    AudioEngine* engine = extension->engine;
    AudioClientManager* manager = extension->clientManager;
    if (engine->DeviceCount() == 0) return STATUS_SUCCESS;
    if (engine->Streaming() && manager->AsioClientCount() > 0) (void)engine->EngineStopStreaming();
    // An out-of-range size leaves the size as it was; the command still succeeds.
    (void)manager->SetBufferSize(frames);
    (void)manager->NotifyAudioClients(kClientEventBufferSizeChanged);
    (void)extension->palClientManager->Notify(kPalNotifyBusChanged, 0, 0);
    return STATUS_SUCCESS;
}

[[nodiscard]] NTSTATUS GetClientCounts(DEVICE_EXTENSION* extension, UCHAR* buffer) {
    AudioClientManager* manager = extension->clientManager;
    ClientCounts counts{static_cast<uint32_t>(manager->AsioClientCount()),
                        static_cast<uint32_t>(manager->RenderClientCount() + manager->CaptureClientCount())};
    RtlCopyMemory(buffer + kReplyHeaderBytes, &counts, sizeof(counts));
    return STATUS_SUCCESS;
}

}  // namespace

// PASSIVE_LEVEL, from the sequential queue. Replies go into the request's own
// buffer (at least 16 bytes: the input header), so only the settings check
// the output length; the caller receives as much as its output length asks.
NTSTATUS RunBusCommand(DEVICE_EXTENSION* extension, WDFREQUEST request, UCHAR* buffer, size_t inputLength,
                       size_t outputLength) {
    USHORT command;
    RtlCopyMemory(&command, buffer + offsetof(DcpRequest, command), sizeof(command));
    ULONG argument = Argument(buffer, inputLength);
    TRACE(kLogDetail | kLogRequest, command, argument, outputLength);
    NTSTATUS status;
    switch (command) {
        case kDcpBusRegisterClient: status = RegisterClient(extension, request); break;
        case kDcpBusUnregisterClient: status = UnregisterClient(extension, request); break;
        case kDcpBusGetSettings: status = GetSettings(extension, request); break;
        case kDcpBusSetSampleRate: status = SetSampleRate(extension, argument); break;
        case kDcpBusSetClockSource: status = SetClockSource(extension, argument); break;
        case kDcpBusSetOperationMode: status = SetOperationMode(extension, argument); break;
        case kDcpBusSetBufferSize: status = SetBufferSize(extension, argument); break;
        case kDcpBusGetClientCounts: status = GetClientCounts(extension, buffer); break;
        default:
            SetReplyStatus(buffer, kDcpStatusNotImplemented);
            return STATUS_NOT_IMPLEMENTED;
    }
    if (NT_SUCCESS(status)) SetReplyStatus(buffer, kDcpStatusDone);
    return status;
}
