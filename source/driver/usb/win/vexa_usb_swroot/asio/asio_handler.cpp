// The ASIO interface's requests on the root device's "\ASIO" handles: exact
// lengths, the handle's own client found and its context checked, one
// request at a time per connection, and each code's ASIO result and status.
#define LOG_FILE_NUMBER 152

#include "asio/asio_handler.h"

#include "asio/asio_client.h"
#include "engine/audio_client_manager.h"
#include "engine/audio_engine.h"
#include "engine/pal_notifier.h"
#include "logger.h"
#include "public/asio_interface.h"

using namespace vexa::log;
using namespace vexa::asio;

namespace {

constexpr size_t kResultOffset = offsetof(AsioRequest, result);
constexpr ULONG kSizeGranules[] = {32, 48};  // a buffer size is a multiple of one of these
// The create-buffers reply's address slots, both directions.
constexpr size_t kBufferAddresses = offsetof(AsioCreateBuffersRequest, outputBuffers);
constexpr size_t kBufferAddressBytes = offsetof(AsioCreateBuffersRequest, outputEnable) - kBufferAddresses;

struct AsioCode {
    ULONG code;
    ULONG length;     // exact output length
    bool readsInput;  // the handler reads the input too, so its length is exact as well
    LONG refusal;     // the ASIO result a handle without an audio client gets
    size_t resultOffset;
};

constexpr AsioCode kCodes[] = {
    {kIoctlAsioGetVersion, sizeof(AsioVersionReply), false, ASE_OK, 0},
    {kIoctlAsioGetInfo, sizeof(AsioDeviceInfo), false, ASE_NotPresent, offsetof(AsioDeviceInfo, result)},
    {kIoctlAsioOpen, sizeof(AsioOpenRequest), true, ASE_InvalidParameter, kResultOffset},
    {kIoctlAsioClose, sizeof(AsioRequest), true, ASE_NotPresent, kResultOffset},
    {kIoctlAsioCreateBuffers, sizeof(AsioCreateBuffersRequest), true, ASE_NotPresent, kResultOffset},
    {kIoctlAsioDisposeBuffers, sizeof(AsioRequest), true, ASE_NotPresent, kResultOffset},
    {kIoctlAsioStart, sizeof(AsioRequest), true, ASE_NotPresent, kResultOffset},
    {kIoctlAsioStop, sizeof(AsioRequest), true, ASE_NotPresent, kResultOffset},
    {kIoctlAsioGetBufferSize, sizeof(AsioBufferSizeReply), true, ASE_NotPresent, kResultOffset},
    {kIoctlAsioCanSampleRate, sizeof(AsioRequest), true, ASE_NotPresent, kResultOffset},
    {kIoctlAsioSetSampleRate, sizeof(AsioRequest), true, ASE_NotPresent, kResultOffset},
};

const AsioCode* Find(ULONG code) {
    for (const AsioCode& entry : kCodes) {
        if (entry.code == code) return &entry;
    }
    return nullptr;
}

template <typename T>
T Get(const UCHAR* buffer, size_t offset) {
    T value;
    RtlCopyMemory(&value, buffer + offset, sizeof(value));
    return value;
}

template <typename T>
void Put(UCHAR* buffer, size_t offset, T value) {
    RtlCopyMemory(buffer + offset, &value, sizeof(value));
}

// One request on a connection: what it acts on, its record, and its NT status
// beside the ASIO result (a failure of the root's own operation fails the request).
struct AsioCall {
    const AsioRequestParts& parts;
    AudioClientManager* manager;
    AsioClient* client;
    UCHAR* buffer;
    NTSTATUS status;
};

void NotifyBusChanged(AsioCall& call) {
    if (NTSTATUS status = call.parts.palNotifier->Notify(vexa::pal::kPalNotifyBusChanged, 0, 0);
        !NT_SUCCESS(status)) {
        TRACE(kLogWarning | kLogAsio, status);
    }
}

void UpdateLatencies(AsioCall& call) {
    if (NTSTATUS status = call.manager->UpdateLatencies(call.client); !NT_SUCCESS(status)) {
        TRACE(kLogWarning | kLogAsio, status);
    }
}

LONG Open(AsioCall& call) {
    LONG result = call.client->OpenSession(call.buffer);
    ULONG64 context = 0;
    if (result == ASE_OK) {
        UpdateLatencies(call);
        context = call.client->Context();
    }
    Put(call.buffer, offsetof(AsioOpenRequest, context), context);
    return result;
}

LONG Close(AsioCall& call) {
    call.status = call.client->CloseSession();
    return ASE_OK;
}

// The checks that keep a create-buffers request away from the rings when it
// cannot be served: a device to take them from, a size of whole granules,
// channels the client has maps for and the device has, and a region that holds them.
LONG CheckBuffers(AsioCall& call, ULONG* rate) {
    ULONG frames = Get<ULONG>(call.buffer, offsetof(AsioCreateBuffersRequest, bufferSize));
    ULONG channelCount = Get<ULONG>(call.buffer, offsetof(AsioCreateBuffersRequest, channelCount));
    ULONG outputs = 0;
    ULONG inputs = 0;
    bool present = call.parts.engine->WithCurrentDevice([&](UsbAudioDeviceTarget* device) {
        if (device == nullptr) return false;
        *rate = device->GetSampleRate();
        outputs = device->GetOutputChannelCount(*rate);
        inputs = device->GetInputChannelCount(*rate);
        return true;
    });
    if (!present) return ASE_NotPresent;
    if (frames == 0 || (frames % kSizeGranules[0] != 0 && frames % kSizeGranules[1] != 0)) return ASE_InvalidMode;
    ULONG64 enabled = 0;
    for (ULONG n = 0; n < kAsioMaxChannels; ++n) {
        for (bool input : {false, true}) {
            size_t table = input ? offsetof(AsioCreateBuffersRequest, inputEnable)
                                 : offsetof(AsioCreateBuffersRequest, outputEnable);
            if (Get<ULONG>(call.buffer, table + n * sizeof(ULONG)) == 0) continue;
            if (n >= kAsioMapChannels || n >= (input ? inputs : outputs)) {
                TRACE(kLogWarning | kLogAsio, n, input);
                return ASE_InvalidParameter;
            }
            ++enabled;
        }
    }
    // The region is channelCount x frames x 16 bytes and each channel takes
    // frames x 8: more channels than that holds would run past it. No host
    // needs more entries than two directions of maps.
    if (channelCount > 2 * kAsioMapChannels || enabled > 2 * ULONG64{channelCount}) {
        TRACE(kLogWarning | kLogAsio, enabled, channelCount);
        return ASE_InvalidParameter;
    }
    return ASE_OK;
}

LONG CreateBuffers(AsioCall& call) {
    if (call.client->State() != kAsioClientOpen) return ASE_InvalidParameter;
    ULONG rate = 0;
    if (LONG refusal = CheckBuffers(call, &rate); refusal != ASE_OK) return refusal;
    ULONG frames = Get<ULONG>(call.buffer, offsetof(AsioCreateBuffersRequest, bufferSize));
    if (!call.manager->BufferSizeInRange(frames)) return ASE_InvalidMode;
    // The buffers first: a request that cannot have them leaves the system
    // size, the registry, the other clients' periods and the bus as they were.
    NTSTATUS status =
        call.client->AllocateBuffers(call.buffer, call.manager->MinBufferSize(), call.manager->MaxBufferSize());
    if (!NT_SUCCESS(status)) {
        call.status = status;
        return ASE_NoMemory;
    }
    if (frames != call.manager->BufferSizeForRate(rate)) {
        // A size within the range becomes every client's.
        if (!call.manager->SetBufferSize(frames)) {
            // The registry did not take it: neither does the system, nor these buffers.
            call.client->DisposeBuffers();
            RtlZeroMemory(call.buffer + kBufferAddresses, kBufferAddressBytes);
            return ASE_InvalidMode;
        }
        UpdateLatencies(call);
        NotifyBusChanged(call);
    }
    return ASE_OK;
}

LONG DisposeBuffers(AsioCall& call) {
    if (call.client->State() < kAsioClientPrepared) return ASE_InvalidParameter;
    call.client->DisposeBuffers();
    return ASE_OK;
}

LONG Start(AsioCall& call) {
    if (call.client->State() < kAsioClientPrepared) return ASE_InvalidParameter;
    NTSTATUS status = call.manager->StartClient(call.client);
    if (!NT_SUCCESS(status)) {
        // Streaming did not start: the client does not run on without it.
        (void)call.manager->StopClient(call.client);
        call.status = status;
        return ASE_InvalidParameter;
    }
    return ASE_OK;
}

LONG Stop(AsioCall& call) {
    if (!call.client->IsRunning()) return ASE_OK;
    NTSTATUS status = call.manager->StopClient(call.client);
    if (!NT_SUCCESS(status)) {
        call.status = status;
        return ASE_InvalidParameter;
    }
    return ASE_OK;
}

LONG GetBufferSize(AsioCall& call) {
    ULONG current = call.manager->BufferSizeForRate(call.parts.engine->EngineGetCurrentRate());
    bool changeable = call.manager->MayChangeFormat(call.client->Type());
    Put(call.buffer, offsetof(AsioBufferSizeReply, minSize), changeable ? call.manager->MinBufferSize() : current);
    Put(call.buffer, offsetof(AsioBufferSizeReply, maxSize), changeable ? call.manager->MaxBufferSize() : current);
    Put(call.buffer, offsetof(AsioBufferSizeReply, preferredSize), current);
    Put(call.buffer, offsetof(AsioBufferSizeReply, granularity), changeable ? LONG{-1} : LONG{0});
    return ASE_OK;
}

// May this client move the system to `rate`?
bool MayTakeRate(AsioCall& call, ULONG rate) {
    return call.manager->MayChangeFormat(call.client->Type()) && call.parts.engine->EngineHasSampleRate(rate);
}

LONG CanSampleRate(AsioCall& call) {
    ULONG rate = Get<ULONG>(call.buffer, offsetof(AsioRequest, value));
    if (rate == call.parts.engine->EngineGetCurrentRate()) return ASE_OK;
    return MayTakeRate(call, rate) ? ASE_OK : ASE_NoClock;
}

LONG SetSampleRate(AsioCall& call) {
    AudioEngine* engine = call.parts.engine;
    ULONG rate = Get<ULONG>(call.buffer, offsetof(AsioRequest, value));
    if (!MayTakeRate(call, rate)) {
        // Fixed by another connection: only the rate that runs is accepted, and nothing changes.
        return rate != 0 && rate == engine->EngineGetCurrentRate() ? ASE_OK : ASE_NoClock;
    }
    ULONG clock = engine->WithCurrentDevice([](UsbAudioDeviceTarget* device) {
        return device != nullptr ? device->GetClockSource() : 0;
    });
    // An equal rate goes through all the same: it re-applies the clock.
    NTSTATUS status = engine->EngineSetRate(rate, clock, true);
    if (!NT_SUCCESS(status)) {
        call.status = status;
        return ASE_InvalidParameter;
    }
    UpdateLatencies(call);
    return ASE_OK;
}

LONG Answer(AsioCall& call, ULONG code) {
    if (code == kIoctlAsioOpen) return Open(call);
    // Every other request names the connection by the token its open handed
    // out; another handle's token, a stale one or a made-up one reaches nothing.
    ULONG64 context = Get<ULONG64>(call.buffer, offsetof(AsioRequest, context));
    if (context == 0 || context != call.client->Context()) {
        TRACE(kLogWarning | kLogAsio, code, call.client->State());
        return ASE_InvalidParameter;
    }
    switch (code) {
        case kIoctlAsioClose: return Close(call);
        case kIoctlAsioCreateBuffers: return CreateBuffers(call);
        case kIoctlAsioDisposeBuffers: return DisposeBuffers(call);
        case kIoctlAsioStart: return Start(call);
        case kIoctlAsioStop: return Stop(call);
        case kIoctlAsioGetBufferSize: return GetBufferSize(call);
        case kIoctlAsioCanSampleRate: return CanSampleRate(call);
        case kIoctlAsioSetSampleRate: return SetSampleRate(call);
        default: return ASE_InvalidParameter;
    }
}

// The request's work, up to its answer; a refusal or failure raises its status.
void Serve(const AsioRequestParts& parts, WDFREQUEST request, ULONG code, ULONG_PTR* information) {
    const AsioCode* entry = Find(code);
    if (entry == nullptr) RaiseStatus(STATUS_NOT_IMPLEMENTED);
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(request, &parameters);
    PVOID output = nullptr;
    size_t outputLength = 0;
    RaiseIfFailed(WdfRequestRetrieveOutputBuffer(request, 0, &output, &outputLength));
    if (outputLength != entry->length ||
        (entry->readsInput && parameters.Parameters.DeviceIoControl.InputBufferLength != entry->length)) {
        RaiseStatus(STATUS_INVALID_PARAMETER);
    }
    auto* buffer = static_cast<UCHAR*>(output);
    *information = entry->length;
    if (code == kIoctlAsioGetVersion) {
        AsioVersionReply reply{kAsioDriverVersion, kAsioInterfaceVersion};
        RtlCopyMemory(buffer, &reply, sizeof(reply));
        return;
    }
    AudioClient* client = parts.client != nullptr ? ReadPointerAcquire(parts.client) : nullptr;
    if (client == nullptr || !IsAsioClientType(client->Type())) {
        // No device, or five clients already, when the handle was opened.
        Put(buffer, entry->resultOffset, entry->refusal);
        return;
    }
    if (code == kIoctlAsioGetInfo) {
        WriteAsioDeviceInfo(parts.engine, parts.manager, buffer);
        return;
    }
    auto* asio = static_cast<AsioClient*>(client);
    AsioSessionScope session(asio);
    if (ReadAcquire(parts.clientShut) != 0) {
        // The handle is being cleaned up beside this request.
        Put(buffer, entry->resultOffset, entry->refusal);
        return;
    }
    AsioCall call{parts, parts.manager, asio, buffer, STATUS_SUCCESS};
    Put(buffer, entry->resultOffset, Answer(call, code));
    RaiseIfFailed(call.status);
}

}  // namespace

// PASSIVE_LEVEL: from the sequential queue, or in the caller's thread for
// open, close, create-buffers and dispose. Completes the request.
void HandleAsioRequest(const AsioRequestParts& parts, WDFREQUEST request, ULONG code) {
    PAGED_CODE();
    ULONG_PTR information = 0;
    NTSTATUS status = STATUS_SUCCESS;
    // A kernel exception raised inside completes the request with its code, as a raised status does.
    NTSTATUS raised = TryExcept([&] { status = CatchStatus([&] { Serve(parts, request, code, &information); }); });
    if (!NT_SUCCESS(raised)) status = raised;
    if (!NT_SUCCESS(status)) {
        information = 0;
        TRACE(kLogError | kLogAsio, status, code);
    }
    WdfRequestCompleteWithInformation(request, status, information);
}
