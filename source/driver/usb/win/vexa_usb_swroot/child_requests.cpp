// The requests the outside drivers send to their child PDOs: device controls
// of the MIDI children and internal device controls of the WDM audio child.
// A request of one kind on a child of the other is refused: the context of a
// child is only ever used as the object its kind names.
#define LOG_FILE_NUMBER 158

#include "audio_engine.h"
#include "child_devices.h"
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
    NTSTATUS status = child->engine->Children().WithLock([&] {
        auto* midi = static_cast<MidiDevice*>(child->contextObject);
        if (midi == nullptr) return STATUS_DEVICE_DOES_NOT_EXIST;
        return fn(midi);
    });
    RaiseIfFailed(status);
}

void MidiRequest(CHILD_DEVEXT* child, WDFREQUEST request, size_t outputLength, ULONG code) {
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
            if (outputLength < sizeof(MidiOpenPort)) RaiseStatus(STATUS_BUFFER_TOO_SMALL);
            WithMidiDevice(child, [&](MidiDevice* midi) {
                return midi->MidiBindPort(static_cast<MidiOpenPort*>(Buffer(request, sizeof(MidiOpenPort))));
            });
            return;
        default:
            RaiseStatus(STATUS_NOT_IMPLEMENTED);
    }
}

void WdmRequest(CHILD_DEVEXT* child, WDFREQUEST request, size_t outputLength, ULONG code) {
    switch (code) {
        case kIoctlWdmGetVersion:
            if (IsMidi(child)) RaiseStatus(STATUS_INVALID_DEVICE_REQUEST);
            if (outputLength != kVersionBytes) RaiseStatus(STATUS_INVALID_PARAMETER);
            WriteVersion(request, kWdmInterfaceVersion);
            return;
        case kIoctlWdmOpen:
        case kIoctlWdmOpenStream:
        case kIoctlWdmCanChangeFormat:
        case kIoctlWdmSetSpeakerConfig:
            if (IsMidi(child)) RaiseStatus(STATUS_INVALID_DEVICE_REQUEST);
            // The adapter and its streams come with the WDM audio support.
            RaiseStatus(STATUS_NOT_IMPLEMENTED);
        default:
            RaiseStatus(STATUS_NOT_IMPLEMENTED);
    }
}

template <typename Handler>
void Complete(WDFQUEUE queue, WDFREQUEST request, size_t outputLength, ULONG code, Handler handler) {
    CHILD_DEVEXT* child = GetChildDevext(WdfIoQueueGetDevice(queue));
    NTSTATUS status = CatchStatus([&] { handler(child, request, outputLength, code); });
    if (!NT_SUCCESS(status)) TRACE(kLogWarning | kLogInterface, status, code);
    WdfRequestCompleteWithInformation(request, status, NT_SUCCESS(status) ? outputLength : 0);
}

}  // namespace

// PASSIVE_LEVEL, on the child's sequential queue.
void OnMidiChildIoctl(WDFQUEUE queue, WDFREQUEST request, size_t outputLength, size_t, ULONG code) {
    PAGED_CODE();
    Complete(queue, request, outputLength, code, MidiRequest);
}

// PASSIVE_LEVEL, on the child's sequential queue.
void OnWdmChildInternalIoctl(WDFQUEUE queue, WDFREQUEST request, size_t outputLength, size_t, ULONG code) {
    PAGED_CODE();
    Complete(queue, request, outputLength, code, WdmRequest);
}
