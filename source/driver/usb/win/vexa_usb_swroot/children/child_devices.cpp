// The child devices: their descriptions in the FDO's child list, their
// comparison, the creation of their PDOs with ids, text and capabilities,
// and their clean-up.
#define LOG_FILE_NUMBER 157

#include "children/child_devices.h"

#include "children/wdm_adapter.h"
#include "event_log.h"
#include "logger.h"
#include "messages.h"
#include "platform/kernel/strsafe.h"

using namespace vexa::log;

namespace {

constexpr ULONG kLocaleEnglishUs = 0x409;
constexpr ULONG kIdChars = 80;
constexpr ULONG kUnassigned = 0xFFFFFFFF;
const WCHAR kChildDescription[] = u"QUV VEXA USB Platform";
const WCHAR kChildLocation[] = u"Adapter";

bool SameId(const WCHAR* a, const WCHAR* b) {
    while (*a != 0 && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

ChildKind KindOf(const WCHAR* hardwareId) {
    if (SameId(hardwareId, kMidiInHardwareId)) return ChildKind::MidiIn;
    if (SameId(hardwareId, kMidiOutHardwareId)) return ChildKind::MidiOut;
    return ChildKind::Adapter;
}

void SetCapabilities(WDFDEVICE child) {
    WDF_DEVICE_PNP_CAPABILITIES pnp;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&pnp);
    pnp.EjectSupported = WdfTrue;
    pnp.Removable = WdfTrue;
    pnp.SurpriseRemovalOK = WdfTrue;
    pnp.Address = kUnassigned;
    pnp.UINumber = kUnassigned;
    WdfDeviceSetPnpCapabilities(child, &pnp);

    WDF_DEVICE_POWER_CAPABILITIES power;
    WDF_DEVICE_POWER_CAPABILITIES_INIT(&power);
    power.DeviceD1 = WdfTrue;
    power.WakeFromD1 = WdfTrue;
    power.DeviceWake = PowerDeviceD1;
    power.DeviceState[PowerSystemWorking] = PowerDeviceD1;
    power.DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
    power.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    power.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    power.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    power.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    WdfDeviceSetPowerCapabilities(child, &power);
}

}  // namespace

ChildBook::ChildBook()
    : forEngine_{this,
                 [](PVOID book) { return static_cast<ChildBook*>(book)->Init(); },
                 [](PVOID book, WDFDEVICE fdo, ULONG serial, AudioDevice* device) {
                     return static_cast<ChildBook*>(book)->AddAdapterChild(fdo, serial, device);
                 },
                 [](PVOID book, WDFDEVICE fdo, ULONG serial, UsbAudioDeviceTarget* current) {
                     return static_cast<ChildBook*>(book)->AddMidiChildren(fdo, serial, current);
                 },
                 [](PVOID book, UsbAudioDeviceTarget* device) { static_cast<ChildBook*>(book)->ReleaseDevice(device); },
                 [](PVOID, WDFDEVICE fdo) { return ReportChildrenMissing(fdo); }} {}

ChildBook::~ChildBook() {
    if (lock_ != nullptr) WdfObjectDelete(lock_);
}

NTSTATUS ChildBook::AddAdapterChild(WDFDEVICE fdo, ULONG serial, AudioDevice* device) {
    return AddChild(fdo, kAdapterHardwareId, kAdapterHardwareIdBytes, serial, device);
}

namespace {

// A MidiDevice of one direction for `current`, or null (with the status) when it could not be built.
MidiDevice* BuildMidiDevice(bool output, ULONG ports, UsbAudioDeviceTarget* current, NTSTATUS* status) {
    MidiDevice* midi = output ? static_cast<MidiDevice*>(new MidiOutDevice()) : new MidiInDevice();
    if (midi == nullptr) {
        *status = STATUS_INSUFFICIENT_RESOURCES;
        return nullptr;
    }
    *status = midi->MidiDeviceInit(ports, current);
    if (NT_SUCCESS(*status)) return midi;
    TRACE(kLogError | kLogMidi, *status, ports);
    midi->Release();
    return nullptr;
}

}  // namespace

NTSTATUS ChildBook::AddMidiChildren(WDFDEVICE fdo, ULONG serial, UsbAudioDeviceTarget* current) {
    NTSTATUS status = STATUS_SUCCESS;
    const struct {
        bool output;
        ULONG ports;
        const WCHAR* hardwareId;
        ULONG64 hardwareIdBytes;
    } directions[] = {
        {false, current->GetMidiInPortCount(), kMidiInHardwareId, kMidiInHardwareIdBytes},
        {true, current->GetMidiOutPortCount(), kMidiOutHardwareId, kMidiOutHardwareIdBytes},
    };
    for (const auto& direction : directions) {
        if (direction.ports == 0) continue;
        // A direction whose object cannot be built is skipped; the arrival goes on.
        NTSTATUS built = STATUS_SUCCESS;
        MidiDevice* midi = BuildMidiDevice(direction.output, direction.ports, current, &built);
        // The MIDI objects built for the current device before (other children's) keep serving.
        if (midi == nullptr) continue;
        status = AddChild(fdo, direction.hardwareId, direction.hardwareIdBytes, serial, midi);
        if (!NT_SUCCESS(status)) {
            TRACE(kLogError | kLogMidi, status, serial);
            midi->Release();
            continue;
        }
        current->AddMidiDevice(direction.output, midi->Endpoint());
    }
    return status;
}


NTSTATUS ChildBook::Init() {
    NTSTATUS status = WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock_);
    if (!NT_SUCCESS(status)) lock_ = nullptr;
    return status;
}

void ChildBook::Add(CHILD_DEVEXT* child) {
    WaitLockScope lock(lock_);
    child->next = first_;
    first_ = child;
}

// The context goes under the lock throughout: a device's removal that is
// closing this child's ports finishes first, so no call reaches the child's
// driver afterwards. The adapters are taken out under it too, and closed after.
void ChildBook::Remove(CHILD_DEVEXT* child) {
    {
        WaitLockScope lock(lock_);
        for (CHILD_DEVEXT** link = &first_; *link != nullptr; link = &(*link)->next) {
            if (*link == child) {
                *link = child->next;
                child->next = nullptr;
                break;
            }
        }
        PVOID context = child->contextObject;
        WritePointerRelease(&child->contextObject, nullptr);
        if (child->kind != ChildKind::Adapter && context != nullptr) {
            auto* midi = static_cast<MidiDevice*>(context);
            midi->UnbindAll();
            midi->Release();
        }
    }
    if (child->kind != ChildKind::Adapter) return;
    // No lock for the adapters: the child's queue and driver are gone, so no
    // request or close touches its list any more; and the framework may clean
    // a child up under its child list's lock, inside a device's arrival that
    // holds the binding lock.
    ChildObject* adapters[kMaxChildAdapters] = {};
    ULONG64 adapterCount = child->adapterCount < kMaxChildAdapters ? child->adapterCount : kMaxChildAdapters;
    for (ULONG64 i = 0; i < adapterCount; ++i) {
        adapters[i] = child->adapters[i];
        child->adapters[i] = nullptr;
    }
    child->adapterCount = 0;
    // The adapters the WDM audio child left open, newest first. Closing one
    // waits for a notification of its child under way, which may call back in.
    for (ULONG64 i = adapterCount; i > 0; --i) {
        if (adapters[i - 1] != nullptr) WdmAdapter::CloseAbandoned(static_cast<WdmAdapter*>(adapters[i - 1]));
    }
}

WdmAdapter* ChildBook::TakeOpenAdapter(const void* handle) {
    WaitLockScope lock(lock_);
    for (CHILD_DEVEXT* child = first_; child != nullptr; child = child->next) {
        if (child->kind != ChildKind::Adapter) continue;
        for (ULONG64 i = 0; i < child->adapterCount && i < kMaxChildAdapters; ++i) {
            ChildObject* adapter = child->adapters[i];
            if (adapter != handle) continue;
            (void)TakeAdapter(child, adapter);
            return static_cast<WdmAdapter*>(adapter);
        }
    }
    return nullptr;
}

WdmAdapter* ChildBook::FindStreamOwner(const void* handle) {
    WaitLockScope lock(lock_);
    for (CHILD_DEVEXT* child = first_; child != nullptr; child = child->next) {
        if (child->kind != ChildKind::Adapter) continue;
        for (ULONG64 i = 0; i < child->adapterCount && i < kMaxChildAdapters; ++i) {
            auto* adapter = static_cast<WdmAdapter*>(child->adapters[i]);
            if (adapter != nullptr && adapter->HoldsStream(handle)) return adapter;
        }
    }
    return nullptr;
}

bool HoldsAdapter(const CHILD_DEVEXT* child, const ChildObject* adapter) {
    if (adapter == nullptr) return false;
    for (ULONG64 i = 0; i < child->adapterCount && i < kMaxChildAdapters; ++i) {
        if (child->adapters[i] == adapter) return true;
    }
    return false;
}

bool TakeAdapter(CHILD_DEVEXT* child, ChildObject* adapter) {
    for (ULONG64 i = 0; i < child->adapterCount && i < kMaxChildAdapters; ++i) {
        if (child->adapters[i] != adapter) continue;
        for (ULONG64 j = i; j + 1 < child->adapterCount; ++j) child->adapters[j] = child->adapters[j + 1];
        child->adapters[--child->adapterCount] = nullptr;
        return true;
    }
    return false;
}

bool ListAdapter(CHILD_DEVEXT* child, ChildObject* adapter) {
    if (child->adapterCount >= kMaxChildAdapters) return false;
    child->adapters[child->adapterCount++] = adapter;
    return true;
}

// PASSIVE_LEVEL, from the device's removal.
void ChildBook::ReleaseDevice(UsbAudioDeviceTarget* device) {
    WaitLockScope lock(lock_);
    // Objects built for the device whose child has not been created yet have no bindings either way.
    device->ForEachMidiDevice([](MidiEndpoint* midi) { MidiDevice::OfEndpoint(midi)->MidiCloseAllPorts(); });
    for (CHILD_DEVEXT* child = first_; child != nullptr; child = child->next) {
        if (child->contextObject == nullptr) continue;
        if (child->kind == ChildKind::Adapter) {
            // Read by the WDM requests without the book's lock.
            if (child->contextObject == static_cast<AudioDevice*>(device)) WritePointerRelease(&child->contextObject, nullptr);
            continue;
        }
        auto* midi = static_cast<MidiDevice*>(child->contextObject);
        if (!midi->BelongsTo(device)) continue;
        midi->MidiCloseAllPorts();
        midi->Detach();
        child->contextObject = nullptr;
        midi->Release();
    }
    device->ForEachMidiDevice([](MidiEndpoint* midi) { MidiDevice::OfEndpoint(midi)->Detach(); });
}

// PASSIVE_LEVEL
NTSTATUS AddChild(WDFDEVICE fdo, const WCHAR* hardwareId, ULONG64 hardwareIdLength, ULONG serialNumber,
                  PVOID contextObject) {
    PAGED_CODE();
    ChildIdentification description;
    RtlZeroMemory(&description, sizeof(description));
    description.header.IdentificationDescriptionSize = sizeof(description);
    description.contextObject = contextObject;
    description.serialNumber = serialNumber;
    description.hardwareIdLength = hardwareIdLength;
    description.hardwareId = hardwareId;
    WDFCHILDLIST list = WdfFdoGetDefaultChildList(fdo);
    if (list == nullptr) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = WdfChildListAddOrUpdateChildDescriptionAsPresent(list, &description.header, nullptr);
    if (status == STATUS_OBJECT_NAME_EXISTS) {
        TRACE(kLogError | kLogInterface, serialNumber, hardwareIdLength);
        LogEvent(WdfDeviceWdmGetDeviceObject(fdo), kMajorPnp, MSG_CREATE_CHILD_FAILED, status);
        return STATUS_INVALID_PARAMETER;
    }
    if (!NT_SUCCESS(status)) TRACE(kLogError | kLogInterface, status, serialNumber);
    return status;
}

// PASSIVE_LEVEL
NTSTATUS ReportChildrenMissing(WDFDEVICE fdo) {
    PAGED_CODE();
    WDFCHILDLIST list = WdfFdoGetDefaultChildList(fdo);
    if (list == nullptr) {
        TRACE(kLogWarning | kLogInterface);
        return STATUS_SUCCESS;
    }
    WDF_CHILD_LIST_ITERATOR iterator;
    WDF_CHILD_LIST_ITERATOR_INIT(&iterator, WdfRetrievePresentChildren);
    WdfChildListBeginIteration(list, &iterator);
    NTSTATUS status;
    for (;;) {
        ChildIdentification description;
        RtlZeroMemory(&description, sizeof(description));
        description.header.IdentificationDescriptionSize = sizeof(description);
        WDF_CHILD_RETRIEVE_INFO info;
        WDF_CHILD_RETRIEVE_INFO_INIT(&info, &description.header);
        status = WdfChildListRetrieveNextDevice(list, &iterator, nullptr, &info);
        if (!NT_SUCCESS(status) || status == STATUS_NO_MORE_ENTRIES) break;
        NTSTATUS missing = WdfChildListUpdateChildDescriptionAsMissing(list, &description.header);
        if (!NT_SUCCESS(missing)) TRACE(kLogError | kLogInterface, missing, description.serialNumber);
    }
    // The framework removes the PDOs once the iteration ends.
    WdfChildListEndIteration(list, &iterator);
    if (status == STATUS_NO_MORE_ENTRIES) return STATUS_SUCCESS;
    TRACE(kLogError | kLogInterface, status);
    return status;
}

// Equal when the hardware ids (of the same length) and the serial numbers are; the context is not compared.
BOOLEAN CompareChildIdentification(WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER first,
                                   PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER second) {
    auto* a = reinterpret_cast<const ChildIdentification*>(first);
    auto* b = reinterpret_cast<const ChildIdentification*>(second);
    // The lengths first: bytes past the shorter id are none of its own.
    if (a->hardwareIdLength != b->hardwareIdLength || a->serialNumber != b->serialNumber) return FALSE;
    if (a->hardwareId == nullptr || b->hardwareId == nullptr) return a->hardwareId == b->hardwareId;
    return RtlEqualMemory(a->hardwareId, b->hardwareId, a->hardwareIdLength) ? TRUE : FALSE;
}

namespace {

// The PDO's steps after its identity; each raises its status.
void BuildChild(AudioEngine* engine, PWDFDEVICE_INIT childInit, const WCHAR* hardwareId, ULONG serialNumber,
                PVOID contextObject) {
    WdfDeviceInitSetDeviceType(childInit, FILE_DEVICE_BUS_EXTENDER);
    UNICODE_STRING id;
    RtlInitUnicodeString(&id, hardwareId);  // up to its first NUL
    RaiseIfFailed(WdfPdoInitAssignDeviceID(childInit, &id));
    RaiseIfFailed(WdfPdoInitAddHardwareID(childInit, &id));
    DECLARE_UNICODE_STRING_SIZE(text, kIdChars);
    RaiseIfFailed(RtlUnicodeStringPrintf(&text, u"%d", static_cast<int>(serialNumber)));
    RaiseIfFailed(WdfPdoInitAssignInstanceID(childInit, &text));
    RaiseIfFailed(RtlUnicodeStringPrintf(&text, u"%s", kChildDescription));
    UNICODE_STRING location = RTL_CONSTANT_STRING(kChildLocation);
    RaiseIfFailed(WdfPdoInitAddDeviceText(childInit, &text, &location, kLocaleEnglishUs));
    WdfPdoInitSetDefaultLocale(childInit, kLocaleEnglishUs);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, CHILD_DEVEXT);
    attributes.EvtCleanupCallback = OnChildCleanup;
    WDFDEVICE child = nullptr;
    RaiseIfFailed(WdfDeviceCreate(&childInit, &attributes, &child));
    // From here a failure deletes the PDO again, and its clean-up undoes what follows.
    CHILD_DEVEXT* context = GetChildDevext(child);
    context->kind = KindOf(hardwareId);
    context->engine = engine;
    context->device = child;
    context->contextObject = contextObject;
    if (context->kind != ChildKind::Adapter && contextObject != nullptr) {
        static_cast<MidiDevice*>(contextObject)->Reference();  // the child's own hold
    }
    BookOf(engine).Add(context);

    SetCapabilities(child);

    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchSequential);
    queueConfig.EvtIoDeviceControl = OnMidiChildIoctl;
    queueConfig.EvtIoInternalDeviceControl = OnWdmChildInternalIoctl;
    queueConfig.EvtIoStop = OnChildIoStop;
    WDF_OBJECT_ATTRIBUTES queueAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&queueAttributes);
    queueAttributes.ExecutionLevel = WdfExecutionLevelPassive;
    RaiseIfFailed(WdfIoQueueCreate(child, &queueConfig, &queueAttributes, &context->queue));
}

}  // namespace

// PASSIVE_LEVEL, on the PnP manager's enumeration.
NTSTATUS CreateChildPdo(WDFDEVICE fdo, AudioEngine* engine, PWDFDEVICE_INIT childInit,
                        const ChildIdentification* description) {
    PAGED_CODE();
    ULONG serialNumber = description->serialNumber;
    NTSTATUS status = CatchStatus([&] {
        BuildChild(engine, childInit, description->hardwareId, serialNumber, description->contextObject);
    });
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogInterface, status, serialNumber);
        LogEvent(WdfDeviceWdmGetDeviceObject(fdo), kMajorPnp, MSG_CREATE_CHILD_FAILED, status);
    }
    return status;
}

// PASSIVE_LEVEL: the child PDO is being deleted (its own driver is gone by
// now). What it borrowed goes back; every port it bound is unbound, so
// nothing calls into its driver any more.
void OnChildCleanup(WDFOBJECT device) {
    PAGED_CODE();
    CHILD_DEVEXT* child = GetChildDevext(device);
    if (child == nullptr || child->engine == nullptr) return;
    BookOf(child->engine).Remove(child);
    TRACE(kLogInfo | kLogInterface, static_cast<ULONG>(child->kind));
}

void OnChildIoStop(WDFQUEUE, WDFREQUEST request, ULONG actionFlags) {
    // The request stays with the handler that holds it.
    TRACE(kLogDetail | kLogInterface, request, actionFlags);
}
