// The requests the outside drivers send to their child PDOs: device controls
// of the MIDI children and internal device controls of the WDM audio child.
// A request of one kind on a child of the other is refused: the context of a
// child is only ever used as the object its kind names.
#define LOG_FILE_NUMBER 158

#include "children/child_devices.h"
#include "children/wdm_adapter.h"
#include "engine/audio_engine.h"
#include "engine/pal_notifier.h"
#include "logger.h"
#include "public/child_interface.h"

using namespace vexa::log;
using namespace vexa::child;

namespace {

constexpr size_t kVersionBytes = sizeof(VersionReply);

bool IsMidi(const CHILD_DEVEXT* child) { return child->kind == ChildKind::MidiIn || child->kind == ChildKind::MidiOut; }

// The request's one system buffer, at least `bytes` long.
void* Buffer(WDFREQUEST request, size_t bytes) {
    PVOID buffer = nullptr;
    RaiseIfFailed(WdfRequestRetrieveOutputBuffer(request, bytes, &buffer, nullptr));
    return buffer;
}

void WriteVersion(WDFREQUEST request, uint32_t interfaceVersion) {
    VersionReply reply{kChildDriverVersion, interfaceVersion};
    RtlCopyMemory(Buffer(request, kVersionBytes), &reply, sizeof(reply));
}

// The child's MidiDevice under the book's lock; a child whose device went has none.
template <typename Fn>
void WithMidiDevice(CHILD_DEVEXT* child, Fn fn) {
    NTSTATUS status = BookOf(child->engine).WithLock([&] {
        auto* midi = static_cast<MidiDevice*>(child->contextObject);
        if (midi == nullptr) return STATUS_DEVICE_DOES_NOT_EXIST;
        return fn(midi);
    });
    RaiseIfFailed(status);
}

void MidiRequest(CHILD_DEVEXT* child, WDFREQUEST request, size_t outputLength, size_t inputLength, ULONG code) {
    switch (code) {
        case kIoctlMidiGetVersion:
            if (!IsMidi(child)) RaiseStatus(STATUS_INVALID_DEVICE_REQUEST);
            if (outputLength != kVersionBytes) RaiseStatus(STATUS_INVALID_PARAMETER);
            WriteVersion(request, kMidiInterfaceVersion);
            return;
        case kIoctlMidiGetInfo:
            if (!IsMidi(child)) RaiseStatus(STATUS_INVALID_DEVICE_REQUEST);
            if (outputLength < sizeof(MidiInfo)) {
                TRACE(kLogWarning | kLogMidi, outputLength);
                RaiseStatus(STATUS_BUFFER_TOO_SMALL);
            }
            WithMidiDevice(child, [&](MidiDevice* midi) {
                return midi->MidiGetInfo(static_cast<MidiInfo*>(Buffer(request, sizeof(MidiInfo))));
            });
            return;
        case kIoctlMidiOpenPort:
            if (!IsMidi(child)) RaiseStatus(STATUS_INVALID_DEVICE_REQUEST);
            // The whole record is read from the input: a shorter one would bind the port to what lies past it.
            if (outputLength < sizeof(MidiOpenPort) || inputLength < sizeof(MidiOpenPort)) {
                TRACE(kLogWarning | kLogMidi, outputLength, inputLength);
                RaiseStatus(STATUS_BUFFER_TOO_SMALL);
            }
            WithMidiDevice(child, [&](MidiDevice* midi) {
                return midi->MidiBindPort(static_cast<MidiOpenPort*>(Buffer(request, sizeof(MidiOpenPort))));
            });
            return;
        default:
            RaiseStatus(STATUS_NOT_IMPLEMENTED);
    }
}

// A WDM request's record: exactly `bytes` in and out (one system buffer),
// copied in and, after the handler, back.
template <typename Record, typename Fn>
void WithRecord(WDFREQUEST request, size_t outputLength, size_t inputLength, bool exactOutput, Fn fn) {
    if (inputLength != sizeof(Record) || (exactOutput && outputLength != sizeof(Record))) {
        RaiseStatus(STATUS_INVALID_PARAMETER);
    }
    PVOID buffer = nullptr;
    RaiseIfFailed(WdfRequestRetrieveInputBuffer(request, sizeof(Record), &buffer, nullptr));
    Record record;
    RtlCopyMemory(&record, buffer, sizeof(record));
    fn(&record);
    if (exactOutput) RtlCopyMemory(buffer, &record, sizeof(record));
}

// Under the engine's binding lock: the child's clean-up and WdmCloseAdapter
// wait for the request (they take the adapter out under it), and an open,
// which reads the current device and may set the engine's rate, does not run
// beside a device's arrival or removal. Nothing is held before it; the
// engine's other locks come after it, never the child book's lock.
template <typename Fn>
void UnderBinding(CHILD_DEVEXT* child, Fn fn) {
    RaiseIfFailed(child->engine->WithBindingLock([&] { return CatchStatus(fn); }));
}

// The adapter a request names, when it is the one the child opened.
WdmAdapter* OwnAdapter(CHILD_DEVEXT* child, ULONG64 named) {
    auto* adapter = reinterpret_cast<WdmAdapter*>(named);
    if (!HoldsAdapter(child, adapter)) {
        TRACE(kLogError | kLogWdm, named);
        RaiseStatus(STATUS_INVALID_PARAMETER);
    }
    return adapter;
}

// The device the child serves; gone once its device went (cleared with a release write).
void RequireContext(CHILD_DEVEXT* child) {
    if (ReadPointerAcquire(&child->contextObject) == nullptr) RaiseStatus(STATUS_DEVICE_DOES_NOT_EXIST);
}

void OpenAdapter(CHILD_DEVEXT* child, WdmOpen* record) {
    RequireContext(child);
    if (child->adapterCount >= kMaxChildAdapters) RaiseStatus(STATUS_INVALID_PARAMETER);  // one per child
    AudioEngine* engine = child->engine;
    auto* adapter = new WdmAdapter(engine, engine->ClientManager(), child);
    if (adapter == nullptr) RaiseStatus(STATUS_INSUFFICIENT_RESOURCES);
    auto index = static_cast<ULONG>(child->adapterCount - 1);  // 0xFFFFFFFF for the first
    NTSTATUS status = CatchStatus([&] { RaiseIfFailed(adapter->WdmAdapterOpen(record, index)); });
    if (!NT_SUCCESS(status) || !ListAdapter(child, adapter)) {
        // What the open made goes with it (its key closed); its client was never added.
        delete adapter;
        RaiseStatus(NT_SUCCESS(status) ? STATUS_INSUFFICIENT_RESOURCES : status);
    }
    record->closeAdapter = reinterpret_cast<ULONG64>(&WdmAdapter::WdmCloseAdapter);
    record->adapter = reinterpret_cast<ULONG64>(adapter);
}

void WdmRequest(CHILD_DEVEXT* child, WDFREQUEST request, size_t outputLength, size_t inputLength, ULONG code) {
    switch (code) {
        case kIoctlWdmGetVersion:
            if (IsMidi(child)) RaiseStatus(STATUS_INVALID_DEVICE_REQUEST);
            if (outputLength != kVersionBytes) RaiseStatus(STATUS_INVALID_PARAMETER);
            WriteVersion(request, kWdmInterfaceVersion);
            return;
        case kIoctlWdmOpen:
            if (IsMidi(child)) RaiseStatus(STATUS_INVALID_DEVICE_REQUEST);
            WithRecord<WdmOpen>(request, outputLength, inputLength, true, [&](WdmOpen* record) {
                UnderBinding(child, [&] { OpenAdapter(child, record); });
            });
            return;
        case kIoctlWdmOpenStream:
            if (IsMidi(child)) RaiseStatus(STATUS_INVALID_DEVICE_REQUEST);
            WithRecord<WdmOpenStream>(request, outputLength, inputLength, true, [&](WdmOpenStream* record) {
                UnderBinding(child, [&] {
                    WdmAdapter* adapter = OwnAdapter(child, record->adapter);
                    RequireContext(child);
                    NTSTATUS status = adapter->OpenStreamClient(record);
                    if (!NT_SUCCESS(status)) {
                        record->stream = 0;
                        RaiseStatus(status);
                    }
                });
            });
            return;
        case kIoctlWdmCanChangeFormat:
            if (IsMidi(child)) RaiseStatus(STATUS_INVALID_DEVICE_REQUEST);
            WithRecord<WdmFormatQuery>(request, outputLength, inputLength, true, [&](WdmFormatQuery* record) {
                UnderBinding(child, [&] {
                    RequireContext(child);
                    OwnAdapter(child, record->adapter)->WdmCanChangeFormat(record);
                    record->currentRate = child->engine->EngineGetCurrentRate();
                });
            });
            return;
        case kIoctlWdmSetSpeakerConfig:
            if (IsMidi(child)) RaiseStatus(STATUS_INVALID_DEVICE_REQUEST);
            WithRecord<WdmSpeakerConfig>(request, outputLength, inputLength, false, [&](WdmSpeakerConfig* record) {
                UnderBinding(child, [&] {
                    ULONG value = record->value;
                    RaiseIfFailed(OwnAdapter(child, record->adapter)->SaveSpeakerConfig(value));
                });
                if (PalNotifier* pal = child->engine->PalClients()) {
                    (void)pal->Notify(vexa::pal::kPalNotifyBusChanged, 0, 0);
                }
            });
            return;
        default:
            RaiseStatus(STATUS_NOT_IMPLEMENTED);
    }
}

template <typename Handler>
void Complete(WDFQUEUE queue, WDFREQUEST request, size_t outputLength, size_t inputLength, ULONG code,
              Handler handler) {
    CHILD_DEVEXT* child = GetChildDevext(WdfIoQueueGetDevice(queue));
    NTSTATUS status = CatchStatus([&] { handler(child, request, outputLength, inputLength, code); });
    if (!NT_SUCCESS(status)) TRACE(kLogWarning | kLogInterface, status, code);
    WdfRequestCompleteWithInformation(request, status, NT_SUCCESS(status) ? outputLength : 0);
}

}  // namespace

// PASSIVE_LEVEL, on the child's sequential queue.
void OnMidiChildIoctl(WDFQUEUE queue, WDFREQUEST request, size_t outputLength, size_t inputLength, ULONG code) {
    PAGED_CODE();
    Complete(queue, request, outputLength, inputLength, code, MidiRequest);
}

// PASSIVE_LEVEL, on the child's sequential queue.
void OnWdmChildInternalIoctl(WDFQUEUE queue, WDFREQUEST request, size_t outputLength, size_t inputLength,
                             ULONG code) {
    PAGED_CODE();
    Complete(queue, request, outputLength, inputLength, code, WdmRequest);
}
