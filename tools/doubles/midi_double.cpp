// A stand-in for an outside MIDI child driver (see midi_double.h): a KMDF
// function driver above a MIDI child PDO of the root driver. Two images are
// built from this source, one per hardware id; they differ only in name.
#include "midi_double.h"

#include "platform/kmdf/wdf.h"

using namespace vexa::doubles;
using namespace vexa::child;

namespace {

MidiDoubleState& State() {
    static MidiDoubleState state;
    return state;
}

// Caller holds the state's lock.
void Record(MidiDoubleState& state, const char* what, uint32_t port, int32_t status) {
    if (!state.loaded) ++state.callsWhileUnloaded;
    state.calls.push_back(MidiCall{what, KeGetCurrentIrql(), port, status});
}

void RecordLocked(const char* what, uint32_t port, int32_t status) {
    std::lock_guard guard(State().lock);
    Record(State(), what, port, status);
}

struct DEVICE_CONTEXT {
    MidiDoubleDevice* device;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, GetDoubleContext)

// A device control to the PDO below, its buffer `bytes` long; the status.
NTSTATUS Ask(WDFDEVICE device, ULONG code, void* buffer, ULONG bytes) {
    DEVICE_OBJECT* pdo = WdfDeviceWdmGetPhysicalDevice(device);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    IRP* irp = IoBuildDeviceIoControlRequest(code, pdo, buffer, bytes, buffer, bytes, FALSE, &done, &ioStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = IoCallDriver(pdo, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

// The functions handed to the root driver; the context is the port record.
ULONG Pull(void* context, ULONG* byte) {
    auto* port = static_cast<MidiDoublePort*>(context);
    std::lock_guard guard(State().lock);
    bool have = !port->pending.empty();
    if (have) {
        *byte = port->pending.front();
        port->pending.pop_front();
    }
    Record(State(), "pull", port->index, have ? static_cast<int32_t>(*byte) : -1);
    return have ? 1 : 0;
}

void Input(void* context, USHORT byte, ULONG64 time) {
    auto* port = static_cast<MidiDoublePort*>(context);
    std::lock_guard guard(State().lock);
    port->received.push_back(MidiReceived{static_cast<uint8_t>(byte), time});
    Record(State(), "input", port->index, byte);
}

void Close(void* context) {
    auto* port = static_cast<MidiDoublePort*>(context);
    std::lock_guard guard(State().lock);
    port->open = false;
    Record(State(), "close", port->index, 0);
}

NTSTATUS OpenPort(WDFDEVICE device, MidiDoublePort* port, ULONG bytes) {
    MidiOpenPort record{};
    record.pull = reinterpret_cast<uint64_t>(&Pull);
    record.input = reinterpret_cast<uint64_t>(&Input);
    record.close = reinterpret_cast<uint64_t>(&Close);
    record.port = port->index;
    record.context = reinterpret_cast<uint64_t>(port);
    uint8_t buffer[sizeof(MidiOpenPort)] = {};
    std::memcpy(buffer, &record, sizeof(record));
    NTSTATUS status = Ask(device, kIoctlMidiOpenPort, buffer, bytes);
    std::lock_guard guard(State().lock);
    Record(State(), "open", port->index, status);
    if (!NT_SUCCESS(status)) return status;
    std::memcpy(&record, buffer, sizeof(record));
    port->midiDevice = reinterpret_cast<void*>(record.midiDevice);
    port->kick = reinterpret_cast<MidiKickFn>(record.kick);
    port->enable = reinterpret_cast<MidiEnableFn>(record.enable);
    port->closePort = reinterpret_cast<MidiClosePortFn>(record.closePort);
    port->open = true;
    return status;
}

// PASSIVE_LEVEL: version, information (read through its pointers), every port opened and enabled.
NTSTATUS DoubleD0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE) {
    MidiDoubleDevice* me = GetDoubleContext(device)->device;
    MidiKnobs knobs;
    {
        std::lock_guard guard(State().lock);
        knobs = State().knobs;
    }
    VersionReply version{};
    NTSTATUS status = Ask(device, kIoctlMidiGetVersion, &version, knobs.versionBytes);
    {
        std::lock_guard guard(State().lock);
        me->versionStatus = status;
        Record(State(), "version", version.interfaceVersion, status);
    }
    if (!NT_SUCCESS(status)) return STATUS_SUCCESS;  // it stays, unused, as a child driver that gave up would
    if (version.interfaceVersion != kMidiInterfaceVersion) return STATUS_SUCCESS;

    auto info = std::make_unique<uint8_t[]>(sizeof(MidiInfo));
    std::memset(info.get(), 0, sizeof(MidiInfo));
    status = Ask(device, kIoctlMidiGetInfo, info.get(), knobs.infoBytes);
    MidiInfo read{};
    std::memcpy(&read, info.get(), sizeof(read));
    uint32_t count = 0;
    {
        std::lock_guard guard(State().lock);
        me->infoStatus = status;
        Record(State(), "info", read.portCount, status);
        if (!NT_SUCCESS(status)) return STATUS_SUCCESS;
        me->kind = read.kind;
        me->deviceId = read.deviceId;
        count = read.portCount < kMidiMaxPorts ? read.portCount : kMidiMaxPorts;
        for (uint32_t i = 0; i < count; ++i) {
            MidiDoublePort& port = me->ports.emplace_back();
            port.device = me;
            port.index = i;
            port.name = reinterpret_cast<const char16_t*>(read.friendlyName[i]);
            port.instanceId.assign(reinterpret_cast<const char16_t*>(read.instanceId[i]),
                                   read.instanceIdBytes[i] / sizeof(char16_t));
        }
        me->running = true;
    }
    for (uint32_t i = 0; i < count; ++i) {
        MidiDoublePort* port = &me->ports[i];
        if (!NT_SUCCESS(OpenPort(device, port, knobs.openBytes))) continue;
        if (knobs.openTwice) (void)OpenPort(device, port, knobs.openBytes);
        NTSTATUS enabled = port->enable(nullptr, port->midiDevice, i, 1);
        RecordLocked("enable", i, enabled);
    }
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL: every open port disabled and closed (unless told never to close).
NTSTATUS DoubleD0Exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE) {
    MidiDoubleDevice* me = GetDoubleContext(device)->device;
    bool neverClose;
    std::vector<MidiDoublePort*> open;
    {
        std::lock_guard guard(State().lock);
        neverClose = State().knobs.neverClose;
        me->running = false;
        for (MidiDoublePort& port : me->ports) {
            if (port.open) open.push_back(&port);
            port.open = false;  // it sends nothing more either way
        }
    }
    if (neverClose) return STATUS_SUCCESS;
    for (MidiDoublePort* port : open) {
        NTSTATUS disabled = port->enable(nullptr, port->midiDevice, port->index, 0);
        RecordLocked("disable", port->index, disabled);
        NTSTATUS closed = port->closePort(port->midiDevice, port->index);
        RecordLocked("close-port", port->index, closed);
    }
    return STATUS_SUCCESS;
}

NTSTATUS DoubleDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDeviceD0Entry = DoubleD0Entry;
    callbacks.EvtDeviceD0Exit = DoubleD0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &callbacks);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard guard(State().lock);
    GetDoubleContext(device)->device = State().devices.emplace_back(std::make_unique<MidiDoubleDevice>()).get();
    Record(State(), "add", 0, status);
    return status;
}

void DoubleUnload(WDFDRIVER) {
    std::lock_guard guard(State().lock);
    Record(State(), "unload", 0, 0);
    State().loaded = false;
    ++State().unloads;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) MidiDoubleState* MidiDoubleGetState() { return &State(); }

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject,
                                                                       PUNICODE_STRING registryPath) {
    {
        std::lock_guard guard(State().lock);
        State().loaded = true;
        ++State().loads;
    }
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DoubleDeviceAdd);
    config.EvtDriverUnload = DoubleUnload;
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}
