// USB-MIDI transport: event packets on bulk endpoints, decoded for the root
// driver on the way in and encoded from its byte stream on the way out.
#include "midi.h"

#include <array>

#include "logger.h"
#include "status_error.h"

#define LOG_FILE_NUMBER 464

using namespace vexa::log;

namespace {

constexpr LONG kWriteIdle = 0;
constexpr LONG kWriteEncoding = 1;
constexpr LONG kWriteInFlight = 2;
constexpr UCHAR kBulkOrInterruptBit = 0x2;  // endpoint transfer types 2 and 3

struct MIDI_REQUEST_CONTEXT {
    WDFMEMORY memory;
    ULONG direction;  // 0 write
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(MIDI_REQUEST_CONTEXT, GetMidiRequestContext)

void Snapshot(MidiPort* port, PFN_AUDIODEVICE_MIDI* callback, PVOID* context) {
    KIRQL irql;
    KeAcquireSpinLock(&port->portLock, &irql);
    *callback = port->midiCallback;
    *context = port->midiContext;
    KeReleaseSpinLock(&port->portLock, irql);
}

}  // namespace

// DISPATCH_LEVEL: the IN port's reader.
void MidiEvtInComplete(WDFUSBPIPE, WDFMEMORY memory, size_t bytes, WDFCONTEXT context) {
    auto* port = static_cast<MidiPort*>(context);
    PFN_AUDIODEVICE_MIDI callback = nullptr;
    PVOID midiContext = nullptr;
    if (port != nullptr) Snapshot(port, &callback, &midiContext);
    if (port == nullptr || callback == nullptr || midiContext == nullptr) {
        TRACE_RT(kLogError | kLogMidi, port);
        return;
    }
    const auto* data = static_cast<const UCHAR*>(WdfMemoryGetBuffer(memory, nullptr));
    for (size_t offset = 0; offset + kMidiEventBytes <= bytes; offset += kMidiEventBytes) {
        if (ReadNoFence(&port->enabled) == 0) return;  // dropped while input is off; the reader keeps running
        MidiEventPacket packet;
        RtlCopyMemory(&packet, data + offset, sizeof(packet));
        UCHAR length = kCinLength[MidiEventCin(packet.header)];
        ULONG word = static_cast<ULONG>(length) << kMidiWordCountShift;
        for (UCHAR i = 0; i < length; ++i) word |= static_cast<ULONG>(packet.midi[i]) << (8 * i);
        auto portNumber = static_cast<UCHAR>(port->firstPort + MidiEventCable(packet.header));
        NTSTATUS status = callback(midiContext, kMidiDirectionIn, portNumber, &word, 1);
        if (!NT_SUCCESS(status)) TRACE_RT(kLogWarning | kLogMidi, status, word);
    }
}

namespace {

// What a status byte does to its cable's encoder.
enum class StatusAction : UCHAR {
    kUndefined = 0,  // traced and dropped; the message under way goes on
    kBeginMessage,   // a channel or system common message: its data bytes follow
    kBeginSysEx,
    kEndSysEx,       // outside a system exclusive it only ends the running status
    kSingleByte,     // a system common message without data: its own event, and no running status after it
    kRealTime,       // its own event; the message around it goes on
};

struct StatusRule {
    StatusAction action;
    UCHAR cin;  // of the event the status begins or is
};

// The system statuses 0xF0-0xFF, by their low nibble.
constexpr std::array<StatusRule, 16> kSystemStatusRules = [] {
    std::array<StatusRule, 16> rules{};
    auto rule = [&rules](UCHAR status) -> StatusRule& { return rules[status & 0x0F]; };
    rule(kMidiSysExStart) = {StatusAction::kBeginSysEx, kCinSysExStart};
    rule(kMidiTimeCode) = {StatusAction::kBeginMessage, kCinTwoByteCommon};
    rule(kMidiSongPosition) = {StatusAction::kBeginMessage, kCinThreeByteCommon};
    rule(kMidiSongSelect) = {StatusAction::kBeginMessage, kCinTwoByteCommon};
    rule(kMidiUndefinedF4) = {StatusAction::kUndefined, 0};
    rule(kMidiUndefinedF5) = {StatusAction::kUndefined, 0};
    rule(kMidiTuneRequest) = {StatusAction::kSingleByte, kCinSingleByte};
    rule(kMidiSysExEnd) = {StatusAction::kEndSysEx, 0};
    for (ULONG status = kMidiFirstRealTime; status <= 0xFF; ++status) {
        rule(static_cast<UCHAR>(status)) = {StatusAction::kRealTime, kCinRealTime};
    }
    return rules;
}();

StatusRule RuleOf(UCHAR status) {
    if (status < kMidiSysExStart) {
        return {StatusAction::kBeginMessage, static_cast<UCHAR>(status >> kMidiChannelStatusShift)};
    }
    return kSystemStatusRules[status & 0x0F];
}

void PutEvent(MidiEventPacket* event, ULONG cable, UCHAR cin, UCHAR byte1, UCHAR byte2 = 0, UCHAR byte3 = 0) {
    *event = MidiEventPacket{MidiEventHeader(cable, cin), {byte1, byte2, byte3}};
}

void BeginMessage(MidiEncoderState& s, MidiEncoderPhase phase, UCHAR cin, UCHAR status) {
    s = MidiEncoderState{cin, status, 0, phase, 1};
}

// Data bytes that follow are dropped until the next status.
void EndMessage(MidiEncoderState& s) {
    s.phase = MidiEncoderPhase::kIdle;
    s.cin = 0;
}

// A status byte; true when it makes an event.
bool TakeStatus(MidiEncoderState& s, UCHAR status, ULONG cable, MidiEventPacket* event) {
    const StatusRule rule = RuleOf(status);
    switch (rule.action) {
        case StatusAction::kRealTime:
            PutEvent(event, cable, rule.cin, status);
            return true;
        case StatusAction::kBeginMessage:
            BeginMessage(s, MidiEncoderPhase::kMessage, rule.cin, status);
            return false;
        case StatusAction::kBeginSysEx:
            BeginMessage(s, MidiEncoderPhase::kSysEx, rule.cin, status);
            return false;
        case StatusAction::kSingleByte:
            EndMessage(s);
            PutEvent(event, cable, rule.cin, status);
            return true;
        case StatusAction::kEndSysEx: {
            const bool inSysEx = s.phase == MidiEncoderPhase::kSysEx;
            EndMessage(s);
            if (!inSysEx) return false;
            // The end travels with the bytes still held.
            if (s.count == 0) {
                PutEvent(event, cable, kCinSysExEndsWithOne, kMidiSysExEnd);
            } else if (s.count == 1) {
                PutEvent(event, cable, kCinSysExEndsWithTwo, s.byte1, kMidiSysExEnd);
            } else {
                PutEvent(event, cable, kCinSysExEndsWithThree, s.byte1, s.byte2, kMidiSysExEnd);
            }
            return true;
        }
        case StatusAction::kUndefined:
            TRACE_RT(kLogWarning | kLogMidi, status);
            return false;
    }
    return false;
}

// A data byte; true when it completes an event.
bool TakeData(MidiEncoderState& s, UCHAR byte, ULONG cable, MidiEventPacket* event) {
    switch (s.phase) {
        case MidiEncoderPhase::kIdle:
            TRACE_RT(kLogDetail | kLogMidi, byte);  // a data byte without a status
            return false;
        case MidiEncoderPhase::kSysEx:
            if (s.count == 0) {
                s.byte1 = byte;
                s.count = 1;
                return false;
            }
            if (s.count == 1) {
                s.byte2 = byte;
                s.count = 2;
                return false;
            }
            PutEvent(event, cable, kCinSysExStart, s.byte1, s.byte2, byte);
            s.count = 0;
            return true;
        case MidiEncoderPhase::kMessage:
            // Running status: the status stays for the next message's data.
            if (kCinLength[s.cin] == 2) {
                PutEvent(event, cable, s.cin, s.byte1, byte);
                return true;
            }
            if (s.count == 1) {
                s.byte2 = byte;
                s.count = 2;
                return false;
            }
            PutEvent(event, cable, s.cin, s.byte1, s.byte2, byte);
            s.count = 1;
            return true;
    }
    return false;
}

// Pulls bytes of one cable until an event is complete. PASSIVE or DISPATCH_LEVEL, portLock not held.
bool EncodeMidiOutEvent(MidiPort* port, ULONG cable, MidiEventPacket* event, PFN_AUDIODEVICE_MIDI callback,
                        PVOID context) {
    if (cable >= kMidiCables || event == nullptr) return false;
    MidiEncoderState& s = port->encoderState[cable];
    for (;;) {
        ULONG word = 0;
        NTSTATUS status = callback(context, kMidiDirectionOut, static_cast<UCHAR>(port->firstPort + cable), &word, 1);
        if (!NT_SUCCESS(status) || word == 0) return false;
        auto byte = static_cast<UCHAR>(word & 0xFF);
        const bool complete = (byte & kMidiStatusBit) != 0 ? TakeStatus(s, byte, cable, event)
                                                            : TakeData(s, byte, cable, event);
        if (complete) return true;
    }
}

// Sends the bulk write of `bytes` events. Caller holds portLock.
[[nodiscard]] NTSTATUS SendMidiWrite(MidiPort* port, ULONG bytes) {
    NTSTATUS status;
    if (port->request == nullptr) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, MIDI_REQUEST_CONTEXT);
        attributes.ParentObject = port->device->configuration.deviceContext->usbDevice;
        status = WdfRequestCreate(&attributes, WdfUsbTargetPipeGetIoTarget(port->pipe->pipe), &port->request);
        if (!NT_SUCCESS(status)) return status;
        // One memory object for the port's buffer, kept with the request.
        WDF_OBJECT_ATTRIBUTES memoryAttributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&memoryAttributes);
        memoryAttributes.ParentObject = port->request;
        status = WdfMemoryCreatePreallocated(&memoryAttributes, port->buffer, port->eventCapacity * kMidiEventBytes,
                                             &port->bufferMemory);
        if (!NT_SUCCESS(status)) return status;
        GetMidiRequestContext(port->request)->memory = port->bufferMemory;
    } else {
        WDF_REQUEST_REUSE_PARAMS reuse;
        WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
        status = WdfRequestReuse(port->request, &reuse);
        if (!NT_SUCCESS(status)) return status;
    }
    InterlockedIncrement(&port->writesOutstanding);
    port->writeState = kWriteInFlight;
    GetMidiRequestContext(port->request)->direction = 0;
    WDFMEMORY_OFFSET range{0, bytes};
    status = WdfUsbTargetPipeFormatRequestForWrite(port->pipe->pipe, port->request, port->bufferMemory, &range);
    if (NT_SUCCESS(status)) {
        WdfRequestSetCompletionRoutine(port->request, MidiEvtWriteComplete, port);
        if (!WdfRequestSend(port->request, WdfUsbTargetPipeGetIoTarget(port->pipe->pipe), WDF_NO_SEND_OPTIONS)) {
            status = WdfRequestGetStatus(port->request);
        }
    }
    if (!NT_SUCCESS(status)) {
        InterlockedDecrement(&port->writesOutstanding);
        port->writeState = kWriteIdle;
        TRACE_RT(kLogError | kLogMidi, status);
    }
    return status;
}

// Encodes the pending cables' output into one bulk write: one event per
// pending cable per pass, passes until nothing more comes or the write is full.
[[nodiscard]] NTSTATUS SendMidiOut(MidiPort* port) {
    PFN_AUDIODEVICE_MIDI callback = nullptr;
    PVOID context = nullptr;
    Snapshot(port, &callback, &context);
    if (callback == nullptr || context == nullptr) return STATUS_UNSUCCESSFUL;
    KIRQL irql;
    KeAcquireSpinLock(&port->portLock, &irql);
    if (port->writeState != kWriteIdle) {
        KeReleaseSpinLock(&port->portLock, irql);
        return STATUS_SUCCESS;  // the running chain picks the pending flags up
    }
    ULONG count = 0;
    bool produced = true;
    while (produced && count < port->eventCapacity) {
        produced = false;
        for (ULONG cable = 0; cable < port->cableCount && count < port->eventCapacity; ++cable) {
            if (port->pending[cable] == 0) continue;
            port->writeState = kWriteEncoding;  // keeps a second sender out while the lock is released
            KeReleaseSpinLock(&port->portLock, irql);
            bool event = EncodeMidiOutEvent(port, cable, &port->buffer[count], callback, context);
            KeAcquireSpinLock(&port->portLock, &irql);
            if (!event) {
                // This cable is drained; the cables after it still get their turn.
                port->pending[cable] = 0;
                continue;
            }
            produced = true;
            ++count;
        }
    }
    NTSTATUS status = STATUS_SUCCESS;
    if (count > 0) {
        status = SendMidiWrite(port, count * kMidiEventBytes);
    } else {
        port->writeState = kWriteIdle;
    }
    KeReleaseSpinLock(&port->portLock, irql);
    return status;
}

}  // namespace

// DISPATCH_LEVEL.
void MidiEvtWriteComplete(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context) {
    auto* port = static_cast<MidiPort*>(context);
    if (port == nullptr || params == nullptr) {
        TRACE_RT(kLogError | kLogMidi, port);
        return;
    }
    KIRQL irql;
    KeAcquireSpinLock(&port->portLock, &irql);
    port->writeState = kWriteIdle;
    KeReleaseSpinLock(&port->portLock, irql);
    InterlockedDecrement(&port->writesOutstanding);
    if (NT_SUCCESS(params->IoStatus.Status)) {
        (void)SendMidiOut(port);  // output keeps flowing while cables are pending
    } else {
        TRACE_RT(kLogError | kLogMidi, params->IoStatus.Status);
    }
}

namespace {

ULONG CableCount(USB_CONFIGURATION* configuration, const PipeRecord* pipe) {
    if (pipe->endpoint == nullptr || (pipe->endpoint->bmAttributes & kBulkOrInterruptBit) == 0) return 0;
    const USB_COMMON_DESCRIPTOR* next = NextDescriptorOfType(configuration, pipe->endpoint, 0);
    if (next == nullptr || next->bDescriptorType != kCsEndpoint ||
        next->bLength < sizeof(MidiStreamingEndpointDescriptor)) {
        return 0;
    }
    const auto* general = reinterpret_cast<const MidiStreamingEndpointDescriptor*>(next);
    if (general->bDescriptorSubtype != kMsGeneral) return 0;
    return general->bNumEmbMIDIJack;
}

[[nodiscard]] NTSTATUS MidiPortInit(UsbFunctionDevice* device, MidiPort* port, PipeRecord* pipe,
                                    InterfaceObject* object) {
    RtlZeroMemory(port, sizeof(*port));
    port->device = device;
    port->pipe = pipe;
    port->interface = object;
    KeInitializeSpinLock(&port->portLock);
    port->cableCount = CableCount(&device->configuration, pipe);
    if (port->cableCount > kMidiCables) {
        // The encoder keeps sixteen cables; an endpoint claiming more is held to them.
        TRACE(kLogWarning | kLogMidi, port->cableCount);
        port->cableCount = kMidiCables;
    }
    port->maxPacketSize = pipe->information.MaximumPacketSize;
    port->eventCapacity = port->maxPacketSize / kMidiEventBytes;
    ULONG bytes = port->eventCapacity * kMidiEventBytes;
    if (bytes != 0) {
        port->buffer = static_cast<MidiEventPacket*>(ExAllocatePoolWithTag(g_nonPagedPool, bytes, kPoolTagBuffer));
        if (port->buffer == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        RtlZeroMemory(port->buffer, bytes);
    }
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS MidiPortsCreate(UsbFunctionDevice* device, InterfaceObject* object) {
    for (ULONG i = 0; i < PipeCount(object); ++i) {
        PipeRecord* pipe = object->pipes[i];
        bool input = (pipe->information.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0;
        LONG& count = input ? device->midiInCount : device->midiOutCount;
        MidiPort** list = input ? device->midiIn : device->midiOut;
        if (static_cast<ULONG>(count) >= kMaxMidiPorts) {
            TRACE(kLogWarning | kLogMidi, pipe->information.EndpointAddress);  // not listed, and nothing built for it
            continue;
        }
        auto* port = static_cast<MidiPort*>(ExAllocatePoolWithTag(g_nonPagedPool, sizeof(MidiPort), kPoolTagObject));
        if (port == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        NTSTATUS status = MidiPortInit(device, port, pipe, object);
        if (NT_SUCCESS(status) && port->cableCount == 0) status = STATUS_INVALID_PARAMETER;  // no jacks on it
        if (!NT_SUCCESS(status)) {
            MidiPortFree(port);
            return status;
        }
        port->firstPort = count == 0 ? 0 : list[count - 1]->firstPort + list[count - 1]->cableCount;
        list[count++] = port;
    }
    return STATUS_SUCCESS;
}

void MidiPortFree(MidiPort* port) {
    StopMidiPort(port);
    if (port->request != nullptr) WdfObjectDelete(port->request);  // its memory object goes with it
    if (port->buffer != nullptr) ExFreePoolWithTag(port->buffer, kPoolTagBuffer);
    ExFreePoolWithTag(port, kPoolTagObject);
}

NTSTATUS StartMidiInReader(MidiPort* port) { return ConfigureContinuousReader(port->pipe, MidiEvtInComplete, port); }

NTSTATUS StartMidiPort(MidiPort* port) {
    KIRQL irql;
    KeAcquireSpinLock(&port->portLock, &irql);
    port->writeState = kWriteIdle;
    KeReleaseSpinLock(&port->portLock, irql);
    return WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(port->pipe->pipe));
}

void StopMidiPort(MidiPort* port) {
    if (port->pipe == nullptr) return;
    WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(port->pipe->pipe), WdfIoTargetWaitForSentIoToComplete);
    AbortPipe(port->pipe);
}

void MidiSetCallbacks(UsbFunctionDevice* device, PFN_AUDIODEVICE_MIDI callback, PVOID context) {
    for (LONG list = 0; list < 2; ++list) {
        MidiPort** ports = list == 0 ? device->midiOut : device->midiIn;
        LONG count = list == 0 ? device->midiOutCount : device->midiInCount;
        for (LONG i = 0; i < count; ++i) {
            KIRQL irql;
            KeAcquireSpinLock(&ports[i]->portLock, &irql);
            ports[i]->midiCallback = callback;
            ports[i]->midiContext = context;
            KeReleaseSpinLock(&ports[i]->portLock, irql);
        }
    }
}

NTSTATUS MidiOutKick(UsbFunctionDevice* device, ULONG value) {
    ULONG portNumber = value & 0xF;
    ULONG first = 0;
    for (LONG i = 0; i < device->midiOutCount; ++i) {
        MidiPort* port = device->midiOut[i];
        if (portNumber >= first && portNumber < first + port->cableCount) {
            KIRQL irql;
            KeAcquireSpinLock(&port->portLock, &irql);
            port->pending[portNumber - first] = 1;
            KeReleaseSpinLock(&port->portLock, irql);
            (void)SendMidiOut(port);
            break;
        }
        first += port->cableCount;
    }
    return STATUS_SUCCESS;
}

NTSTATUS MidiEnable(UsbFunctionDevice* device, ULONG value) {
    LONG enabled = (value & 0x80000000u) != 0 ? 1 : 0;
    bool output = (value & 0x40000000u) != 0;
    MidiPort** ports = output ? device->midiOut : device->midiIn;
    LONG count = output ? device->midiOutCount : device->midiInCount;
    for (LONG i = 0; i < count; ++i) InterlockedExchange(&ports[i]->enabled, enabled);
    return STATUS_SUCCESS;
}

bool MidiBusy(UsbFunctionDevice* device) {
    for (LONG list = 0; list < 2; ++list) {
        MidiPort** ports = list == 0 ? device->midiOut : device->midiIn;
        LONG count = list == 0 ? device->midiOutCount : device->midiInCount;
        for (LONG i = 0; i < count; ++i) {
            if (ReadNoFence(&ports[i]->writesOutstanding) != 0) return true;
        }
    }
    return false;
}
