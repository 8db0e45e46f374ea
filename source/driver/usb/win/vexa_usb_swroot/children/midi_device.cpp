// MIDI devices of the child interface: port records with their names, the
// binding of a child's functions, the byte flow in both directions and the
// enables.
#define LOG_FILE_NUMBER 156

#include "children/midi_device.h"

#include "device/lock_scope.h"
#include "device/usb_audio_device_target.h"
#include "logger.h"
#include "platform/kernel/strsafe.h"

using namespace vexa::log;
using namespace vexa::child;

namespace {

constexpr ULONG kNameScratchTag = 0x6B61726D;
constexpr ULONG kOneByte = 1;
const WCHAR kPlatformName[] = u"QUV VEXA USB Platform";

void SetText(UNICODE_STRING* text, WCHAR* buffer, const WCHAR* value) {
    ULONG chars = 0;
    while (chars + 1 < kMidiNameChars && value[chars] != 0) {
        buffer[chars] = value[chars];
        ++chars;
    }
    buffer[chars] = 0;
    text->Buffer = buffer;
    text->Length = static_cast<USHORT>(chars * sizeof(WCHAR));
    text->MaximumLength = static_cast<USHORT>(kMidiNameChars * sizeof(WCHAR));
}

}  // namespace

MidiDevice::MidiDevice(ULONG kind) noexcept
    : kind_(kind),
      endpoint_{this,
                [](PVOID midi, UCHAR cable, const ULONG* word, ULONG64 time) {
                    return static_cast<MidiDevice*>(midi)->MidiDeliverInput(cable, word, time);
                },
                [](PVOID midi, UCHAR cable, ULONG* word) { return static_cast<MidiDevice*>(midi)->MidiPullOutput(cable, word); },
                [](PVOID midi) { static_cast<MidiDevice*>(midi)->Release(); }, nullptr} {}

MidiDevice::~MidiDevice() {
    for (MidiPortRecord*& record : ports_) {
        delete record;
        record = nullptr;
    }
    if (callLock_ != nullptr) WdfObjectDelete(callLock_);
}

MidiInDevice::~MidiInDevice() { TRACE(kLogInfo | kLogMidi, kMidiKindIn); }
MidiOutDevice::~MidiOutDevice() { TRACE(kLogInfo | kLogMidi, kMidiKindOut); }

void MidiDevice::Reference() { InterlockedIncrement(&references_); }

void MidiDevice::Release() {
    if (InterlockedDecrement(&references_) == 0) delete this;
}

bool MidiDevice::BelongsTo(const UsbAudioDeviceTarget* device) {
    if (callLock_ == nullptr) return false;
    WaitLockScope lock(callLock_);
    return device_ != nullptr && device_ == device;
}

// PASSIVE_LEVEL
NTSTATUS MidiDevice::MidiDeviceInit(ULONG portCount, UsbAudioDeviceTarget* device) {
    PAGED_CODE();
    if (device == nullptr) return STATUS_INVALID_PARAMETER;
    if (portCount > kMidiMaxPorts) {
        // The child's records hold sixteen ports; a device reporting more is held to them.
        TRACE(kLogWarning | kLogMidi, portCount);
        portCount = kMidiMaxPorts;
    }
    NTSTATUS status = WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &callLock_);
    if (!NT_SUCCESS(status)) {
        callLock_ = nullptr;
        return status;
    }
    WCHAR product[kMidiProductNameChars] = {};
    if (!device->GetProductString(product, kMidiProductNameChars) || product[0] == 0) {
        (void)RtlStringCchPrintfW(product, kMidiProductNameChars, u"%s", kPlatformName);
    }
    product[kMidiProductNameChars - 1] = 0;
    bool output = IsOutput();
    for (ULONG i = 0; i < portCount; ++i) {
        PoolBuffer scratch(NonPagedPoolNx, kMidiNameChars * sizeof(WCHAR), kNameScratchTag);
        if (!scratch) return STATUS_INSUFFICIENT_RESOURCES;
        // A record that cannot be had fails the whole device: no port is left without one.
        auto* record = new MidiPortRecord();
        if (record == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        RtlZeroMemory(record, sizeof(*record));
        record->owner = this;
        WCHAR* text = scratch.Get<WCHAR>();
        (void)RtlStringCchPrintfW(text, kMidiNameChars, u"D%04x%s%d_%s", device->GetProductId(),
                                  output ? u"MidiOut" : u"MidiIn", static_cast<int>(i + 1), u"QUV");
        SetText(&record->instanceId, record->instanceIdBuffer, text);
        char portName[kNameBytes] = {};
        bool named = output ? device->GetMidiOutPortName(i, portName, sizeof(portName))
                            : device->GetMidiInPortName(i, portName, sizeof(portName));
        if (named && portName[0] != 0) {
            (void)RtlStringCchPrintfW(text, kMidiNameChars, u"%s %S", product, portName);
        } else {
            TRACE(kLogWarning | kLogMidi, i);
            (void)RtlStringCchPrintfW(text, kMidiNameChars, u"%s MIDI %s %d", product, output ? u"Out" : u"In",
                                      static_cast<int>(i + 1));
        }
        SetText(&record->friendlyName, record->friendlyNameBuffer, text);
        ports_[i] = record;
        portCount_ = i + 1;
    }
    WaitLockScope lock(callLock_);
    device_ = device;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL
NTSTATUS MidiDevice::MidiGetInfo(MidiInfo* info) {
    ULONG64 deviceId;
    {
        WaitLockScope lock(callLock_);
        if (device_ == nullptr) return STATUS_NO_SUCH_DEVICE;
        deviceId = device_->GetDeviceId64();
    }
    for (ULONG i = 0; i < portCount_; ++i) {
        info->friendlyName[i] = reinterpret_cast<ULONG64>(ports_[i]->friendlyName.Buffer);
        info->instanceId[i] = reinterpret_cast<ULONG64>(ports_[i]->instanceId.Buffer);
        info->instanceIdBytes[i] = ports_[i]->instanceId.Length;
    }
    info->kind = kind_;
    info->deviceId = deviceId;
    info->portCount = portCount_;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL
NTSTATUS MidiDevice::MidiBindPort(MidiOpenPort* record) {
    ULONG port = record->port;
    // The index comes from the child: one without a record touches nothing.
    if (port >= portCount_) {
        TRACE(kLogError | kLogMidi, port, portCount_);
        return STATUS_INVALID_PARAMETER;
    }
    record->kick = reinterpret_cast<ULONG64>(&MidiDevice::MidiKick);
    record->enable = reinterpret_cast<ULONG64>(&MidiDevice::MidiEnable);
    record->closePort = reinterpret_cast<ULONG64>(&MidiDevice::MidiClosePort);
    record->midiDevice = reinterpret_cast<ULONG64>(this);
    KIRQL irql;
    KeAcquireSpinLock(&portLock_, &irql);
    ports_[port]->openRecord = *record;
    KeReleaseSpinLock(&portLock_, irql);
    return STATUS_SUCCESS;
}

// DISPATCH_LEVEL, from the USB function driver's MIDI reader.
NTSTATUS MidiDevice::MidiDeliverInput(UCHAR cable, const ULONG* word, ULONG64 time) {
    ULONG count = (*word >> kMidiWordCountShift) & kMidiWordCountMask;
    if (cable >= portCount_) {
        TRACE_RT(kLogDetail | kLogMidi, cable, *word);  // no port there: dropped
        return STATUS_SUCCESS;
    }
    KIRQL irql;
    KeAcquireSpinLock(&portLock_, &irql);
    const MidiOpenPort& binding = ports_[cable]->openRecord;
    auto input = reinterpret_cast<MidiInputFn>(binding.input);
    auto context = reinterpret_cast<void*>(binding.context);
    if (input != nullptr) {
        for (ULONG i = 0; i < count; ++i) input(context, static_cast<USHORT>((*word >> (8 * i)) & 0xFF), time);
    }
    KeReleaseSpinLock(&portLock_, irql);
    return STATUS_SUCCESS;
}

// DISPATCH_LEVEL or PASSIVE_LEVEL, from the USB function driver's MIDI writer.
NTSTATUS MidiDevice::MidiPullOutput(UCHAR cable, ULONG* word) {
    ULONG byte = 0;
    bool delivered = false;
    if (cable < portCount_) {
        KIRQL irql;
        KeAcquireSpinLock(&portLock_, &irql);
        const MidiOpenPort& binding = ports_[cable]->openRecord;
        auto pull = reinterpret_cast<MidiPullFn>(binding.pull);
        if (pull != nullptr) delivered = pull(reinterpret_cast<void*>(binding.context), &byte) != 0;
        KeReleaseSpinLock(&portLock_, irql);
    }
    const ULONG header = static_cast<ULONG>(cable) << kMidiWordCableShift;
    if (delivered) {
        *word = header | kOneByte << kMidiWordCountShift | (byte & 0xFF);
        return STATUS_SUCCESS;
    }
    *word = header;
    return kNoMidiData;
}

MidiOpenPort MidiDevice::TakeBinding(ULONG port) {
    KIRQL irql;
    KeAcquireSpinLock(&portLock_, &irql);
    MidiOpenPort binding = ports_[port]->openRecord;
    MidiOpenPort& record = ports_[port]->openRecord;
    record.pull = record.input = record.close = record.context = 0;
    KeReleaseSpinLock(&portLock_, irql);
    return binding;
}

// PASSIVE_LEVEL
void MidiDevice::MidiCloseAllPorts() {
    if (callLock_ == nullptr) return;
    MidiOpenPort taken[kMidiMaxPorts] = {};
    {
        WaitLockScope lock(callLock_);
        for (ULONG port = 0; port < portCount_; ++port) {
            taken[port] = TakeBinding(port);
            if (ports_[port]->enabled && !NT_SUCCESS(SetEnabled(port, false))) TRACE(kLogWarning | kLogMidi, port);
        }
    }
    // Told outside the lock: a child may close its port from its close function.
    for (ULONG port = 0; port < portCount_; ++port) {
        auto close = reinterpret_cast<MidiCloseFn>(taken[port].close);
        if (close != nullptr && taken[port].context != 0) close(reinterpret_cast<void*>(taken[port].context));
    }
}

// PASSIVE_LEVEL
void MidiDevice::UnbindAll() {
    if (callLock_ == nullptr) return;
    WaitLockScope lock(callLock_);
    for (ULONG port = 0; port < portCount_; ++port) {
        (void)TakeBinding(port);
        if (ports_[port]->enabled && !NT_SUCCESS(SetEnabled(port, false))) TRACE(kLogWarning | kLogMidi, port);
    }
}

// PASSIVE_LEVEL
void MidiDevice::Detach() {
    if (callLock_ == nullptr) return;
    WaitLockScope lock(callLock_);
    device_ = nullptr;
}

NTSTATUS MidiDevice::SetEnabled(ULONG port, bool enable) {
    MidiPortRecord* record = ports_[port];
    if (record->enabled == enable) return STATUS_SUCCESS;
    // Other MIDI objects of the device (other children's) may hold ports of the direction enabled.
    if (device_ != nullptr) {
        if (NTSTATUS status = device_->CountMidiPort(IsOutput(), port, enable); !NT_SUCCESS(status)) return status;
    }
    record->enabled = enable;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, called by the child.
NTSTATUS MidiDevice::MidiKick(PVOID context, ULONG port) {
    PAGED_CODE();
    auto* midi = static_cast<MidiDevice*>(context);
    if (midi == nullptr || midi->callLock_ == nullptr) return STATUS_SUCCESS;
    WaitLockScope lock(midi->callLock_);
    if (midi->device_ == nullptr) return STATUS_SUCCESS;
    // The USB driver keeps the low four bits: a larger number would kick another port.
    if (port >= kMidiMaxPorts) return STATUS_INVALID_PARAMETER;
    ULONG value = port;
    ULONG result = midi->device_->Command(kDcpCategoryUsbDevice, kUsbCmdMidiOutKick, &value, sizeof(value), nullptr,
                                          nullptr);
    if (result != kUsbResultOk) {
        TRACE(kLogError | kLogMidi, result, port);
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, called by the child.
NTSTATUS MidiDevice::MidiEnable(PVOID, PVOID context, ULONG port, UCHAR enable) {
    PAGED_CODE();
    auto* midi = static_cast<MidiDevice*>(context);
    if (midi == nullptr || midi->callLock_ == nullptr) return STATUS_SUCCESS;
    WaitLockScope lock(midi->callLock_);
    if (midi->device_ == nullptr) return STATUS_SUCCESS;
    if (port >= kMidiMaxPorts) return STATUS_INVALID_PARAMETER;
    if (port >= midi->portCount_) return STATUS_SUCCESS;
    return midi->SetEnabled(port, enable != 0);
}

// PASSIVE_LEVEL, called by the child: nothing more is delivered to or pulled from it on this port.
NTSTATUS MidiDevice::MidiClosePort(PVOID context, ULONG port) {
    PAGED_CODE();
    auto* midi = static_cast<MidiDevice*>(context);
    if (midi == nullptr || midi->callLock_ == nullptr || port >= midi->portCount_) return STATUS_SUCCESS;
    WaitLockScope lock(midi->callLock_);
    (void)midi->TakeBinding(port);
    if (midi->ports_[port]->enabled && !NT_SUCCESS(midi->SetEnabled(port, false))) TRACE(kLogWarning | kLogMidi, port);
    return STATUS_SUCCESS;
}
