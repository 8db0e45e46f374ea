// The WDM adapter: open, stream clients, the format query, the speaker
// configuration, the child's notification and the close.
#define LOG_FILE_NUMBER 173

#include "children/wdm_adapter.h"

#include "children/child_devices.h"
#include "engine/audio_engine.h"
#include "engine/root_engines.h"
#include "event_log.h"
#include "logger.h"
#include "messages.h"
#include "platform/kernel/strsafe.h"

using namespace vexa::log;
using namespace vexa::child;

namespace {

constexpr ACCESS_MASK kStandardRightsAll = 0x1F0000;
constexpr ULONG kValueNameChars = 64;
const WCHAR kSpeakerConfigValue[] = u"Out Speaker Config";

}  // namespace

WdmAdapter::WdmAdapter(AudioEngine* engine, AudioClientManager* clientManager, CHILD_DEVEXT* child)
    : engine_(engine), clientManager_(clientManager), child_(child) {
    for (ULONG i = 0; i < kWdmMaxChannels; ++i) outputChannelMap_[i] = inputChannelMap_[i] = kUnmappedChannel;
}

// Never runs while the manager holds one of its clients (see CloseClients).
WdmAdapter::~WdmAdapter() {
    ReleaseAdapterResources();
    if (streamLock_ != nullptr) WdfObjectDelete(streamLock_);
}

PDEVICE_OBJECT WdmAdapter::ChildDeviceObject() const {
    return child_ != nullptr && child_->device != nullptr ? WdfDeviceWdmGetDeviceObject(child_->device) : nullptr;
}

void WdmAdapter::LogEventFor(UCHAR majorFunction, ULONG message, NTSTATUS status) {
    if (PDEVICE_OBJECT device = ChildDeviceObject()) LogEvent(device, majorFunction, message, status);
}

NTSTATUS WdmAdapter::WriteULong(const WCHAR* name, ULONG value) {
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, name);
    NTSTATUS status = WdfRegistryAssignULong(parametersKey_, &valueName, value);
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogWdm, status, value);
        LogEventFor(kMajorInternalDeviceControl, MSG_REGISTRY_WRITE_FAILED, status);
    }
    return status;
}

// PASSIVE_LEVEL, on the child's queue under the book lock.
NTSTATUS WdmAdapter::WdmAdapterOpen(WdmOpen* record, ULONG adapterIndex) {
    PAGED_CODE();
    if (record->notify == 0 || record->notifyContext == 0) return STATUS_INVALID_PARAMETER;
    WritePointerRelease(&childCallback_, reinterpret_cast<PVOID>(record->notify));
    WritePointerRelease(&childCallbackContext_, reinterpret_cast<PVOID>(record->notifyContext));
    adapterIndex_ = adapterIndex;

    NTSTATUS status = WdfDriverOpenParametersRegistryKey(engine_->Driver(), kStandardRightsAll,
                                                         WDF_NO_OBJECT_ATTRIBUTES, &parametersKey_);
    if (!NT_SUCCESS(status)) {
        parametersKey_ = nullptr;
        LogEventFor(kMajorPnp, MSG_REGISTRY_OPEN_FAILED, status);
        return status;
    }
    // From here every failure leaves the key (and whatever else was made) to the destructor.
    if (!NT_SUCCESS(status = WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &streamLock_))) {
        streamLock_ = nullptr;
        return status;
    }
    record->speakerConfig = speakerConfig_;
    record->renderBitDepth = renderBitDepth_;
    record->captureBitDepth = captureBitDepth_;
    EngineSettings settings = engine_->EngineGetSettings();
    record->outputChannels = settings.outputChannelCount;
    record->inputChannels = settings.inputChannelCount;
    record->closeStream = reinterpret_cast<ULONG64>(&WdmAdapter::WdmCloseStream);
    ULONG lowest = 0;
    ULONG highest = 0;
    if (!engine_->EngineGetRateRange(&lowest, &highest)) return STATUS_NO_SUCH_DEVICE;
    record->lowestRate = lowest;
    record->highestRate = highest;
    if (!NT_SUCCESS(status = InitChannelMaps())) return status;

    // The work item belongs to the root device: the child's own objects go before its clean-up closes this.
    WDF_WORKITEM_CONFIG config;
    WDF_WORKITEM_CONFIG_INIT(&config, NotifyChildWork);
    config.AutomaticSerialization = FALSE;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, WDM_NOTIFY_CONTEXT);
    attributes.ParentObject = engine_->RootDevice();
    if (!NT_SUCCESS(status = WdfWorkItemCreate(&config, &attributes, &notifyWork_))) {
        notifyWork_ = nullptr;
        return status;
    }
    GetWdmNotifyContext(notifyWork_)->adapter = this;

    KernelAudioClient* client = CreateKernelAudioClient(kClientTypeKernel);
    if (client == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    client->SetAdapter(this);
    // It takes one of the manager's slots (uncounted by kind); without one the child would hear of nothing.
    if (!clientManager_->AddClient(client)) {
        TRACE(kLogError | kLogWdm, clientManager_->ClientCount());
        delete client;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    adapterClient_ = client;
    TRACE(kLogInfo | kLogWdm, settings.outputChannelCount, settings.inputChannelCount, lowest, highest);
    return STATUS_SUCCESS;
}

bool WdmAdapter::ValidStreamRequest(const WdmOpenStream& request) {
    return (request.direction == kWdmRender || request.direction == kWdmCapture) && request.sampleRate != 0 &&
           (request.bitsPerSample == 16 || request.bitsPerSample == 24) && request.channelCount != 0 &&
           request.channelCount <= kWdmMaxChannels && request.streamCallback != 0;
}

// PASSIVE_LEVEL, on the child's queue under the book lock. Everything that
// can refuse the stream is checked before anything changes; the rate change
// comes last but one, and only the manager's slot can still fail after it.
NTSTATUS WdmAdapter::OpenStreamClient(WdmOpenStream* record) {
    PAGED_CODE();
    WdmOpenStream request = *record;
    if (!ValidStreamRequest(request)) return STATUS_INVALID_PARAMETER;
    bool render = request.direction == kWdmRender;
    ULONG kind = render ? kClientTypeKernelRender : kClientTypeKernelCapture;
    if (clientManager_->ClientCount() >= kMaxAudioClients || engine_->DeviceCount() == 0) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (!engine_->EngineHasSampleRate(request.sampleRate)) {
        LogEventFor(kMajorInternalDeviceControl, MSG_SAMPLE_RATE_NOT_SUPPORTED, STATUS_SUCCESS);
        return STATUS_NO_MATCH;
    }
    // No more channels than the device has in that direction at that rate.
    ULONG deviceChannels = engine_->WithCurrentDevice([&](UsbAudioDeviceTarget* device) -> ULONG {
        if (device == nullptr) return 0;
        return render ? device->GetOutputChannelCount(request.sampleRate)
                      : device->GetInputChannelCount(request.sampleRate);
    });
    if (request.channelCount > deviceChannels) {
        TRACE(kLogError | kLogWdm, request.channelCount, deviceChannels);
        return STATUS_INVALID_PARAMETER;
    }
    // The new stream counts from here on, so that the format decision sees it:
    // a stream moves the rate only when no other stream would be moved under it.
    // Every refusal below uncounts it.
    struct CountedStream {
        AudioClientManager* manager;
        ULONG kind;
        bool kept = false;
        ~CountedStream() {
            if (!kept) manager->CountClientType(kind, true);
        }
    };
    clientManager_->CountClientType(kind, false);
    CountedStream counted{clientManager_, kind};
    if (engine_->EngineGetCurrentRate() != request.sampleRate && !clientManager_->MayChangeFormat(kind)) {
        return STATUS_INVALID_PARAMETER;
    }

    KernelAudioClient* client = CreateKernelAudioClient(kind);
    if (client == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = client->OpenStreamRings(request, render ? outputChannelMap_ : inputChannelMap_);
    if (NT_SUCCESS(status)) status = ApplyWdmStreamFormat(request.sampleRate, request.bitsPerSample, render);
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogWdm, status, kind);
        delete client;  // never added; the guard uncounts it
        return status;
    }
    if (!clientManager_->SetBufferSize(clientManager_->BufferSizeForRate(request.sampleRate))) {
        TRACE(kLogWarning | kLogWdm, request.sampleRate);
    }
    client->SetAdapter(this);
    if (!clientManager_->AddClient(client)) {
        TRACE(kLogError | kLogWdm, kind);
        delete client;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    counted.kept = true;
    {
        WaitLockScope lock(streamLock_);
        LONG count = ReadNoFence(&streamCount_);
        streams_[count] = client;  // the manager's five slots bound the list
        WriteRelease(&streamCount_, count + 1);
    }
    ULONG64 transfer = reinterpret_cast<ULONG64>(&KernelAudioClient::WdmStreamTransfer);
    ULONG64 setState = reinterpret_cast<ULONG64>(&KernelAudioClient::WdmStreamSetState);
    auto* bytes = reinterpret_cast<UCHAR*>(record);
    RtlCopyMemory(bytes + kWdmStreamTransferOffset, &transfer, sizeof(transfer));
    RtlCopyMemory(bytes + kWdmStreamSetStateOffset, &setState, sizeof(setState));
    record->stream = reinterpret_cast<ULONG64>(client);
    return STATUS_SUCCESS;
}

NTSTATUS WdmAdapter::ApplyWdmStreamFormat(ULONG rate, ULONG bits, bool render) {
    if (engine_->EngineGetCurrentRate() != rate) {
        if (!clientManager_->MayChangeFormat(render ? kClientTypeKernelRender : kClientTypeKernelCapture)) {
            return STATUS_INVALID_PARAMETER;
        }
        // The rate change tells the clients; this adapter's client hands it to the child after this request.
        NTSTATUS status = engine_->EngineSetRate(rate, engine_->EngineGetSettings().clockSource, true);
        if (!NT_SUCCESS(status)) return status;
        // The other direction's next format query answers "no" once.
        InterlockedExchange(render ? &captureFormatChanged_ : &renderFormatChanged_, 1);
    }
    if (!render && bits == captureBitDepth_) return STATUS_SUCCESS;
    DECLARE_UNICODE_STRING_SIZE(name, kValueNameChars);
    NTSTATUS status = RtlUnicodeStringPrintf(&name, render ? u"WDM%d Render Bit Depth" : u"WDM%d Capture Bit Depth",
                                             static_cast<int>(adapterIndex_ + 1));
    if (NT_SUCCESS(status)) status = WdfRegistryAssignULong(parametersKey_, &name, bits);
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogWdm, status, bits);
        LogEventFor(kMajorInternalDeviceControl, MSG_REGISTRY_WRITE_FAILED, status);
    }
    return status;
}

// PASSIVE_LEVEL, on the child's queue. A direction's flag is "no" once after
// the other direction's stream changed the rate, or after the control panel
// changed the rate or the clock.
void WdmAdapter::WdmCanChangeFormat(WdmFormatQuery* record) {
    PAGED_CODE();
    bool render = record->direction != kWdmCapture;
    ULONG may = clientManager_->MayChangeFormat(render ? kClientTypeKernelRender : kClientTypeKernelCapture) ? 1 : 0;
    bool changed = InterlockedExchange(render ? &renderFormatChanged_ : &captureFormatChanged_, 0) != 0;
    bool vetoed = clientManager_->TakeFormatVeto(render);
    record->mayChange = changed || vetoed ? 0 : may;
}

NTSTATUS WdmAdapter::SaveSpeakerConfig(ULONG value) {
    PAGED_CODE();
    NTSTATUS status = WriteULong(kSpeakerConfigValue, value);
    if (NT_SUCCESS(status)) speakerConfig_ = value;
    return status;
}

// Under clientLock, up to DISPATCH_LEVEL.
void WdmAdapter::QueueChildNotification(ULONG clientEvent) {
    switch (clientEvent) {
        case kClientEventRateChanged:
            if (engine_->DeviceCount() == 0) return;
            break;
        case kClientEventDeviceChanged:
        case kClientEventDeviceLost:
            // Open streams must hear of it, device or not: they would starve silently.
            if (StreamCount() == 0) {
                TRACE_RT(kLogDetail | kLogWdm, clientEvent);
                return;
            }
            break;
        default:
            return;
    }
    if (notifyWork_ != nullptr) WdfWorkItemEnqueue(notifyWork_);
}

// PASSIVE_LEVEL, on a system worker: never inside one of the child's requests.
void WdmAdapter::NotifyChildWork(WDFWORKITEM workItem) {
    WdmAdapter* adapter = GetWdmNotifyContext(workItem)->adapter;
    auto notify = reinterpret_cast<WdmNotifyFn>(ReadPointerAcquire(&adapter->childCallback_));
    PVOID context = ReadPointerAcquire(&adapter->childCallbackContext_);
    if (notify == nullptr) return;
    // The child may close the adapter from its first call: nothing of the adapter is touched after.
    notify(context, kWdmEventChangeBegin);
    notify(context, kWdmEventChangeEnd);
}

NTSTATUS WdmAdapter::CloseStreamClient(KernelAudioClient* client) {
    {
        WaitLockScope lock(streamLock_);
        LONG count = ReadNoFence(&streamCount_);
        LONG slot = 0;
        while (slot < count && streams_[slot] != client) ++slot;
        if (slot == count) return STATUS_INVALID_PARAMETER;  // not one of this adapter's open streams
        streams_[slot] = streams_[count - 1];
        streams_[count - 1] = nullptr;
        WriteRelease(&streamCount_, count - 1);
    }
    NTSTATUS status = clientManager_->RemoveClient(client);
    if (!NT_SUCCESS(status)) {
        // The manager keeps it: it stays open, listed again.
        TRACE(kLogError | kLogWdm, status);
        WaitLockScope lock(streamLock_);
        LONG count = ReadNoFence(&streamCount_);
        streams_[count] = client;
        WriteRelease(&streamCount_, count + 1);
        return status;
    }
    clientManager_->CountClientType(client->Type(), true);
    (void)client->Close();
    delete client;
    return STATUS_SUCCESS;
}

NTSTATUS WdmAdapter::CloseClients() {
    PAGED_CODE();
    for (;;) {
        KernelAudioClient* stream;
        {
            WaitLockScope lock(streamLock_);
            LONG count = ReadNoFence(&streamCount_);
            if (count == 0) break;
            stream = streams_[count - 1];
        }
        if (NTSTATUS status = CloseStreamClient(stream); !NT_SUCCESS(status)) return status;
    }
    if (adapterClient_ == nullptr) {
        TRACE(kLogWarning | kLogWdm);
        return STATUS_SUCCESS;
    }
    NTSTATUS status = clientManager_->RemoveClient(adapterClient_);
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogWdm, status);
        return status;
    }
    delete adapterClient_;
    adapterClient_ = nullptr;
    return STATUS_SUCCESS;
}

void WdmAdapter::ReleaseAdapterResources() {
    WritePointerRelease(&childCallback_, nullptr);
    WritePointerRelease(&childCallbackContext_, nullptr);
    // Deleting the work item waits for a notification under way (or skips one queued).
    if (notifyWork_ != nullptr) {
        WdfObjectDelete(notifyWork_);
        notifyWork_ = nullptr;
    }
    if (parametersKey_ != nullptr) {
        WdfRegistryClose(parametersKey_);
        parametersKey_ = nullptr;
    }
}

bool WdmAdapter::HoldsStream(const void* handle) {
    WaitLockScope lock(streamLock_);
    LONG count = ReadNoFence(&streamCount_);
    for (LONG slot = 0; slot < count; ++slot) {
        if (streams_[slot] == handle) return true;
    }
    return false;
}

// PASSIVE_LEVEL, in the child's context. The handle may be one closed
// already (freed) or none at all: it is only compared with the open
// adapters, and one that is not among them is refused.
NTSTATUS WdmAdapter::WdmCloseAdapter(PVOID adapter) {
    PAGED_CODE();
    WdmAdapter* self = nullptr;
    (void)ForEachRootEngine([&](AudioEngine* engine) {
        self = engine->WithBindingLock([&] { return BookOf(engine).TakeOpenAdapter(adapter); });
        return self != nullptr;
    });
    if (self == nullptr) {
        TRACE(kLogError | kLogWdm);
        return STATUS_INVALID_PARAMETER;  // not open on any child (closed already, or never handed out)
    }
    NTSTATUS status = self->CloseClients();
    if (!NT_SUCCESS(status)) {
        // Not deleted under the manager: it stays the child's, for its clean-up to try again.
        self->engine_->WithBindingLock([&] { (void)ListAdapter(self->child_, self); });
        return status;
    }
    self->ReleaseAdapterResources();
    delete self;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, in the child's context. As for the adapter: the handle is
// only compared with the open streams; the stream is closed under the binding
// lock, so its adapter cannot go meanwhile.
NTSTATUS WdmAdapter::WdmCloseStream(PVOID stream) {
    PAGED_CODE();
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    bool found = ForEachRootEngine([&](AudioEngine* engine) {
        return engine->WithBindingLock([&] {
            WdmAdapter* owner = BookOf(engine).FindStreamOwner(stream);
            if (owner != nullptr) status = owner->CloseStreamClient(static_cast<KernelAudioClient*>(stream));
            return owner != nullptr;
        });
    });
    if (!found) TRACE(kLogError | kLogWdm);
    return status;
}

void WdmAdapter::CloseAbandoned(WdmAdapter* adapter) {
    TRACE(kLogWarning | kLogWdm, adapter->StreamCount());
    if (NTSTATUS status = adapter->CloseClients(); !NT_SUCCESS(status)) {
        TRACE(kLogError | kLogWdm, status);
        return;
    }
    adapter->ReleaseAdapterResources();
    delete adapter;
}
