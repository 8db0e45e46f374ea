// The root device (FDO): creation with its interfaces, queue and objects, and
// its clean-up.
#define LOG_FILE_NUMBER 101

#include "control/root.h"
#include "event_log.h"
#include "logger.h"
#include "messages.h"

using namespace vexa::log;

namespace {

// The engine of a root device while its objects are there.
const DeviceOwner* EngineOf(WDFDEVICE device) {
    DEVICE_EXTENSION* extension = GetDeviceExtension(device);
    return extension != nullptr && extension->engine != nullptr ? extension->engine->AsDeviceOwner() : nullptr;
}

// Deletes the four objects (PAL client manager, client manager, engine, then
// the engine's child book, in this order) and clears their pointers.
void DeleteObjects(DEVICE_EXTENSION* extension) {
    delete extension->palClientManager;
    extension->palClientManager = nullptr;
    delete extension->clientManager;
    extension->clientManager = nullptr;
    delete extension->engine;
    extension->engine = nullptr;
    delete extension->childBook;
    extension->childBook = nullptr;
}

// The device add's steps; each failing one raises its status with its
// event-log message. `*created` is set once the device exists.
void AddRootDevice(WDFDRIVER driver, PWDFDEVICE_INIT deviceInit, DEVICE_EXTENSION** created) {
    WDF_OBJECT_ATTRIBUTES deviceAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&deviceAttributes, DEVICE_EXTENSION);
    deviceAttributes.ExecutionLevel = WdfExecutionLevelPassive;
    deviceAttributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    deviceAttributes.EvtCleanupCallback = RootEvtDeviceCleanup;

    WdfDeviceInitSetIoInCallerContextCallback(deviceInit, RootEvtIoInCallerContext);

    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, RootEvtDeviceFileCreate, nullptr, RootEvtFileCleanup);
    fileConfig.FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&fileAttributes, FILECONTEXT);
    fileAttributes.SynchronizationScope = WdfSynchronizationScopeNone;
    // What a handle still holds when its file object goes (a request in
    // flight at cleanup registered it late) is released then.
    fileAttributes.EvtCleanupCallback = RootEvtFileContextCleanup;
    WdfDeviceInitSetFileObjectConfig(deviceInit, &fileConfig, &fileAttributes);

    WdfDeviceInitSetDeviceType(deviceInit, FILE_DEVICE_BUS_EXTENDER);
    WdfDeviceInitSetExclusive(deviceInit, FALSE);

    WDF_CHILD_LIST_CONFIG childListConfig;
    WDF_CHILD_LIST_CONFIG_INIT(&childListConfig, sizeof(ChildIdentification), OnCreateChild);
    childListConfig.EvtChildListIdentificationDescriptionCompare = CompareChildIdentification;
    WdfFdoInitSetDefaultChildListConfig(deviceInit, &childListConfig, WDF_NO_OBJECT_ATTRIBUTES);

    WDFDEVICE device = nullptr;
    RaiseIfFailed(WdfDeviceCreate(&deviceInit, &deviceAttributes, &device), MSG_CREATE_ROOT_DEVICE_FAILED);
    DEVICE_EXTENSION* extension = *created = GetDeviceExtension(device);
    RtlZeroMemory(extension, sizeof(*extension));
    KeInitializeEvent(&extension->clientGate, SynchronizationEvent, TRUE);

    // A failed allocation leaves its pointer null; the device does not go on without all four.
    extension->engine = new AudioEngine(device);
    extension->clientManager = new AudioClientManager();
    extension->palClientManager = new PalClientManager();
    extension->childBook = new ChildBook();
    if (extension->engine == nullptr || extension->clientManager == nullptr || extension->palClientManager == nullptr ||
        extension->childBook == nullptr) {
        RaiseStatus(STATUS_INSUFFICIENT_RESOURCES, static_cast<ULONG>(STATUS_INSUFFICIENT_RESOURCES));
    }

    UNICODE_STRING pal = RTL_CONSTANT_STRING(u"PAL");
    RaiseIfFailed(WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_PAL, &pal),
                  MSG_CREATE_DEVICE_INTERFACE_FAILED);
    UNICODE_STRING asio = RTL_CONSTANT_STRING(u"ASIO");
    RaiseIfFailed(WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_ASIO, &asio),
                  MSG_CREATE_DEVICE_INTERFACE_FAILED);

    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchSequential);
    queueConfig.EvtIoDeviceControl = RootEvtIoDeviceControl;
    queueConfig.EvtIoStop = RootEvtIoStop;
    WDF_OBJECT_ATTRIBUTES queueAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&queueAttributes);
    queueAttributes.ExecutionLevel = WdfExecutionLevelPassive;
    WDFQUEUE queue = nullptr;
    RaiseIfFailed(WdfIoQueueCreate(device, &queueConfig, &queueAttributes, &queue), MSG_CREATE_QUEUE_FAILED);

    RaiseIfFailed(extension->palClientManager->Init(device), MSG_PAL_CLIENT_MANAGER_INIT_FAILED);
    RaiseIfFailed(extension->clientManager->ClientManagerInit(extension->engine->AsStreamingControl(), device),
                  MSG_AUDIO_CLIENT_MANAGER_INIT_FAILED);
    EngineInitRecord record{extension->clientManager, EngineOf,
                            extension->palClientManager, extension->childBook->ForEngine(),
                            device, GUID_DEVINTERFACE_AUDIODEVICE};
    // Before the engine starts: devices already present arrive during its start and describe children.
    PNP_BUS_INFORMATION bus{GUID_DEVINTERFACE_PAL, PNPBus, 0};
    WdfDeviceSetBusInformationForChildren(device, &bus);
    RaiseIfFailed(extension->engine->EngineInit(record, driver), MSG_AUDIO_ENGINE_INIT_FAILED);
}

}  // namespace

// PASSIVE_LEVEL
NTSTATUS RootEvtDriverDeviceAdd(WDFDRIVER driver, PWDFDEVICE_INIT deviceInit) {
    PAGED_CODE();
    TRACE(kLogInfo | kLogInterface);
    DEVICE_EXTENSION* extension = nullptr;
    ULONG messageId = kNoEventMessage;
    NTSTATUS status = CatchStatus([&] { AddRootDevice(driver, deviceInit, &extension); }, &messageId);
    if (!NT_SUCCESS(status)) {
        // Every step names its message: each failure writes its entry.
        TRACE(kLogError | kLogInterface, status, messageId);
        LogEvent(WdfDriverWdmGetDriverObject(driver), kMajorPnp, messageId, status);
        if (extension != nullptr) DeleteObjects(extension);
    }
    return status;
}

// PASSIVE_LEVEL, on the PnP manager's enumeration.
NTSTATUS OnCreateChild(WDFCHILDLIST list, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER header,
                       PWDFDEVICE_INIT childInit) {
    PAGED_CODE();
    WDFDEVICE fdo = WdfChildListGetDevice(list);
    return CreateChildPdo(fdo, GetDeviceExtension(fdo)->engine, childInit,
                          reinterpret_cast<ChildIdentification*>(header));
}

// PASSIVE_LEVEL: the FDO goes away, perhaps with handles still open (they
// stay until their processes close them). Their ASIO clients are told the
// device is lost and taken out of the manager, each host to reset and close
// its handle, whose cleanup then releases the rest in its process. The
// engine stops watching for arrivals, then unbinds and drops each device
// still listed, announcing each as removed; then the objects go.
void RootEvtDeviceCleanup(WDFOBJECT device) {
    PAGED_CODE();
    DEVICE_EXTENSION* extension = GetDeviceExtension(device);
    TRACE(kLogInfo | kLogInterface);
    // No handle's cleanup meanwhile: it would find the managers half gone.
    ClientGateScope gate(extension);
    if (extension->clientManager != nullptr) extension->clientManager->DetachAsioClients();
    if (extension->engine != nullptr) {
        extension->engine->EngineStopWatching();
        (void)extension->engine->EngineStopStreaming();
        extension->engine->EngineRemoveAllDevices();
    }
    DeleteObjects(extension);
}
