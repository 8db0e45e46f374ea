#include "probe_driver.h"

#include "platform/kmdf/wdf.h"

namespace {

ProbeState g_state;

struct PROBE_CONTEXT {
    WDFDEVICE device;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(PROBE_CONTEXT, GetProbeContext)

constexpr GUID kProbeInterface = {kProbeInterfaceData1, 0x7B1D, 0x4E2A, {0x9F, 0x00, 0x1C, 0x2D, 0x3E, 0x4F, 0x5A, 0x6B}};
constexpr GUID kProbeQueryInterface = {kProbeQueryInterfaceData1, 0x7B1D, 0x4E2A,
                                       {0x9F, 0x00, 0x1C, 0x2D, 0x3E, 0x4F, 0x5A, 0x6B}};
INTERFACE g_queryInterface{sizeof(INTERFACE), 1, nullptr, nullptr, nullptr};

NTSTATUS ProbeQueryInterface(WDFDEVICE, GUID*, PINTERFACE, PVOID) {
    g_state.record("query");
    return STATUS_SUCCESS;
}

void ProbeWorkItem(WDFWORKITEM) {
    std::lock_guard guard(g_state.lock);
    g_state.workItemRuns += 1;
    g_state.workItemIrql = KeGetCurrentIrql();
}

NTSTATUS ProbeD0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE previous) {
    g_state.record("d0entry:" + std::to_string(previous));
    if (g_state.createWorkItemInD0Entry) {
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, ProbeWorkItem);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = device;
        WDFWORKITEM item;
        if (NT_SUCCESS(WdfWorkItemCreate(&config, &attributes, &item))) WdfWorkItemEnqueue(item);
    }
    return g_state.failD0Entry;
}

NTSTATUS ProbeD0Exit(WDFDEVICE, WDF_POWER_DEVICE_STATE target) {
    g_state.record("d0exit:" + std::to_string(target));
    return STATUS_SUCCESS;
}

NTSTATUS ProbePrepare(WDFDEVICE, WDFCMRESLIST, WDFCMRESLIST) {
    g_state.record("prepare");
    return g_state.failPrepare;
}

NTSTATUS ProbeRelease(WDFDEVICE, WDFCMRESLIST) {
    g_state.record("release");
    return STATUS_SUCCESS;
}

void ProbeSurpriseRemoval(WDFDEVICE) { g_state.record("surprise"); }

void ProbeDeviceCleanup(WDFOBJECT) { g_state.record("device-cleanup"); }

void ProbeFileCleanup(WDFFILEOBJECT) { g_state.record("file-cleanup"); }

void ProbeFileGone(WDFOBJECT) { g_state.record("file-gone"); }

NTSTATUS ProbeDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    g_state.record("add");
    if (g_state.failAdd != 0) return g_state.failAdd;
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDeviceD0Entry = ProbeD0Entry;
    callbacks.EvtDeviceD0Exit = ProbeD0Exit;
    callbacks.EvtDevicePrepareHardware = ProbePrepare;
    callbacks.EvtDeviceReleaseHardware = ProbeRelease;
    callbacks.EvtDeviceSurpriseRemoval = ProbeSurpriseRemoval;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &callbacks);
    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, nullptr, nullptr, ProbeFileCleanup);
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&fileAttributes);
    fileAttributes.EvtCleanupCallback = ProbeFileGone;
    WdfDeviceInitSetFileObjectConfig(init, &fileConfig, &fileAttributes);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, PROBE_CONTEXT);
    attributes.EvtCleanupCallback = ProbeDeviceCleanup;
    attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status)) return status;
    GetProbeContext(device)->device = device;
    WDF_QUERY_INTERFACE_CONFIG query;
    WDF_QUERY_INTERFACE_CONFIG_INIT(&query, &g_queryInterface, &kProbeQueryInterface, ProbeQueryInterface);
    status = WdfDeviceAddQueryInterface(device, &query);
    if (!NT_SUCCESS(status)) return status;
    return WdfDeviceCreateDeviceInterface(device, &kProbeInterface, nullptr);
}

void ProbeUnload(WDFDRIVER) { g_state.record("unload"); }

void ProbeDriverCleanup(WDFOBJECT) { g_state.record("driver-cleanup"); }

}  // namespace

extern "C" __attribute__((visibility("default"))) ProbeState* ProbeGetState() { return &g_state; }

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject,
                                                                       PUNICODE_STRING registryPath) {
    g_state.record("entry");
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, ProbeDeviceAdd);
    config.EvtDriverUnload = ProbeUnload;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = ProbeDriverCleanup;
    NTSTATUS status = WdfDriverCreate(driverObject, registryPath, &attributes, &config, nullptr);
    return NT_SUCCESS(status) && g_state.failEntry != 0 ? g_state.failEntry : status;
}
