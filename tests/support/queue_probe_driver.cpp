#include "queue_probe_driver.h"

#define PROBE_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

QueueProbeState g_state;

void ProbeEvtIoDeviceControl(WDFQUEUE, WDFREQUEST request, size_t, size_t inputLength, ULONG code) {
    uint32_t word = 0;
    PVOID input = nullptr;
    if (inputLength >= sizeof(word) && NT_SUCCESS(WdfRequestRetrieveInputBuffer(request, sizeof(word), &input, nullptr))) {
        std::memcpy(&word, input, sizeof(word));
    }
    {
        std::lock_guard lock(g_state.lock);
        g_state.presented.push_back(word);
        g_state.maxInCallback = std::max(g_state.maxInCallback, ++g_state.inCallback);
    }
    switch (code) {
        case kQueueProbeComplete:
            WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 0);
            break;
        case kQueueProbeHold: {
            std::lock_guard lock(g_state.lock);
            g_state.held = request;
            break;
        }
        case kQueueProbeReturnRaised: {
            WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 0);
            KIRQL ignored;
            KeRaiseIrql(DISPATCH_LEVEL, &ignored);
            break;
        }
        case kQueueProbePark: {
            NTSTATUS status = WdfRequestForwardToIoQueue(request, g_state.manual);
            if (!NT_SUCCESS(status)) WdfRequestComplete(request, status);
            break;
        }
        default:
            WdfRequestComplete(request, STATUS_INVALID_DEVICE_REQUEST);
            break;
    }
    std::lock_guard lock(g_state.lock);
    --g_state.inCallback;
}

NTSTATUS ProbeEvtDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ExecutionLevel = WdfExecutionLevelPassive;
    attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    WDFDEVICE device = nullptr;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING reference = RTL_CONSTANT_STRING(u"Q");
    GUID probeClass{0x51554555, 0x1, 0x2, {3, 4, 5, 6, 7, 8, 9, 10}};
    status = WdfDeviceCreateDeviceInterface(device, &probeClass, &reference);
    if (!NT_SUCCESS(status)) return status;
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_DISPATCH_TYPE dispatch;
    {
        std::lock_guard lock(g_state.lock);
        dispatch = g_state.defaultDispatch;
    }
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, dispatch);
    config.EvtIoDeviceControl = ProbeEvtIoDeviceControl;
    WDFQUEUE queue = nullptr;
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &queue);
    if (!NT_SUCCESS(status)) return status;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    return WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &g_state.manual);
}

}  // namespace

PROBE_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, ProbeEvtDeviceAdd);
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}

PROBE_EXPORT QueueProbeState* QueueProbeGetState() { return &g_state; }

PROBE_EXPORT bool QueueProbeCompleteHeld(NTSTATUS status) {
    WDFREQUEST held;
    {
        std::lock_guard lock(g_state.lock);
        held = g_state.held;
        g_state.held = nullptr;
    }
    if (held == nullptr) return false;
    WdfRequestComplete(held, status);
    return true;
}

PROBE_EXPORT NTSTATUS QueueProbeRetrieve() {
    WDFREQUEST request = nullptr;
    NTSTATUS status = WdfIoQueueRetrieveNextRequest(g_state.manual, &request);
    if (NT_SUCCESS(status)) WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, 0);
    return status;
}
