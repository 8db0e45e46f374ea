#include "pal_stub_driver.h"

#include <cstring>

#include "platform/kmdf/wdf.h"

#define STUB_EXPORT extern "C" __attribute__((visibility("default")))

using namespace vexa::pal;

namespace {

PalStubState g_state;
WDFQUEUE g_waits = nullptr;  // pending notification waits
WDFQUEUE g_held = nullptr;   // DCP commands held by holdCategory

constexpr size_t kHeader = sizeof(DcpReply);

// Writes a DCP reply (status 0 and `data`) into the output and completes with its whole length.
void CompleteDcp(WDFREQUEST request, size_t outputLength, const void* data, size_t bytes, bool withSize) {
    PVOID output = nullptr;
    if (outputLength < kHeader || !NT_SUCCESS(WdfRequestRetrieveOutputBuffer(request, kHeader, &output, nullptr))) {
        WdfRequestComplete(request, STATUS_INVALID_PARAMETER);
        return;
    }
    auto* out = static_cast<uint8_t*>(output);
    size_t room = outputLength - kHeader;
    size_t copied = std::min(bytes, room);
    uint32_t status;
    {
        std::lock_guard lock(g_state.lock);
        status = g_state.replyStatus;
    }
    std::memcpy(out, &status, sizeof(status));
    if (withSize) {
        uint32_t size = static_cast<uint32_t>(bytes);
        std::memcpy(out + sizeof(status), &size, sizeof(size));
    }
    if (copied != 0) std::memcpy(out + kHeader, data, copied);
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, outputLength);
}

void Dcp(WDFREQUEST request, size_t outputLength, size_t inputLength) {
    PVOID input = nullptr;
    if (inputLength < sizeof(DcpRequest) ||
        !NT_SUCCESS(WdfRequestRetrieveInputBuffer(request, sizeof(DcpRequest), &input, nullptr))) {
        WdfRequestComplete(request, STATUS_INVALID_PARAMETER);
        return;
    }
    DcpRequest header;
    std::memcpy(&header, input, sizeof(header));
    std::unique_lock lock(g_state.lock);
    auto* bytes = static_cast<const uint8_t*>(input);
    g_state.commands.emplace_back(bytes, bytes + inputLength);
    if (g_state.holdCategory != 0 && header.category == g_state.holdCategory) {
        NTSTATUS status = WdfRequestForwardToIoQueue(request, g_held);
        if (!NT_SUCCESS(status)) {
            lock.unlock();
            WdfRequestComplete(request, status);
            return;
        }
        ++g_state.held;
        g_state.changed.notify_all();
        return;
    }
    if (header.category == kDcpCategoryClock && header.command == kDcpClockListRates) {
        std::vector<uint32_t> rates = g_state.rates;
        bool fail = g_state.ratesFail;
        lock.unlock();
        if (fail) {
            WdfRequestComplete(request, STATUS_UNSUCCESSFUL);
        } else {
            CompleteDcp(request, outputLength, rates.data(), rates.size() * sizeof(uint32_t), true);
        }
        return;
    }
    if (header.category != kDcpCategoryBus) {
        std::vector<uint8_t> reply = g_state.reply;
        lock.unlock();
        CompleteDcp(request, outputLength, reply.data(), reply.size(), true);
        return;
    }
    switch (header.command) {
        case kDcpBusRegisterClient:
            ++g_state.registered;
            break;
        case kDcpBusUnregisterClient: {
            if (g_state.unregisterFails) {
                lock.unlock();
                WdfRequestComplete(request, STATUS_INVALID_DEVICE_STATE);
                return;
            }
            if (g_state.registered != 0) --g_state.registered;
            lock.unlock();
            // The handle's waits end as the root driver ends them.
            WDFREQUEST wait = nullptr;
            while (NT_SUCCESS(WdfIoQueueRetrieveRequestByFileObject(g_waits, WdfRequestGetFileObject(request), &wait))) {
                WdfRequestComplete(wait, STATUS_CANCELLED);
            }
            CompleteDcp(request, outputLength, nullptr, 0, false);
            return;
        }
        case kDcpBusGetSettings: {
            BusSettingsBlock block = g_state.settings;
            lock.unlock();
            CompleteDcp(request, outputLength, &block, sizeof(block), false);
            return;
        }
        case kDcpBusGetClientCounts: {
            ClientCounts counts = g_state.counts;
            lock.unlock();
            CompleteDcp(request, outputLength, &counts, sizeof(counts), false);
            return;
        }
        default:
            break;
    }
    lock.unlock();
    CompleteDcp(request, outputLength, nullptr, 0, false);
}

void StubEvtIoDeviceControl(WDFQUEUE, WDFREQUEST request, size_t outputLength, size_t inputLength, ULONG code) {
    switch (code) {
        case kIoctlGetApiVersion: {
            PVOID output = nullptr;
            if (!NT_SUCCESS(WdfRequestRetrieveOutputBuffer(request, sizeof(ApiVersionReply), &output, nullptr))) {
                WdfRequestComplete(request, STATUS_INVALID_PARAMETER);
                return;
            }
            std::lock_guard lock(g_state.lock);
            std::memcpy(output, &g_state.version, sizeof(g_state.version));
            WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, g_state.versionBytes);
            return;
        }
        case kIoctlDcpCommand:
            Dcp(request, outputLength, inputLength);
            return;
        case kIoctlWaitNotification: {
            std::unique_lock lock(g_state.lock);
            if (!g_state.backlog.empty()) {
                PalNotification record = g_state.backlog.front();
                g_state.backlog.pop_front();
                lock.unlock();
                PVOID output = nullptr;
                if (NT_SUCCESS(WdfRequestRetrieveOutputBuffer(request, sizeof(record), &output, nullptr))) {
                    std::memcpy(output, &record, sizeof(record));
                    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, sizeof(record));
                } else {
                    WdfRequestComplete(request, STATUS_INVALID_PARAMETER);
                }
                return;
            }
            NTSTATUS status = WdfRequestForwardToIoQueue(request, g_waits);
            if (!NT_SUCCESS(status)) {
                lock.unlock();
                WdfRequestComplete(request, status);
                return;
            }
            ++g_state.parked;
            g_state.changed.notify_all();
            return;
        }
        default:
            WdfRequestComplete(request, STATUS_INVALID_DEVICE_REQUEST);
            return;
    }
}

NTSTATUS StubEvtDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ExecutionLevel = WdfExecutionLevelPassive;
    attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    WDFDEVICE device = nullptr;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING reference = RTL_CONSTANT_STRING(u"PAL");
    status = WdfDeviceCreateDeviceInterface(device, &kPalStubInterface, &reference);
    if (!NT_SUCCESS(status)) return status;
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchSequential);
    config.EvtIoDeviceControl = StubEvtIoDeviceControl;
    WDFQUEUE queue = nullptr;
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &queue);
    if (!NT_SUCCESS(status)) return status;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &g_waits);
    if (!NT_SUCCESS(status)) return status;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchManual);
    return WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &g_held);
}

}  // namespace

STUB_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, StubEvtDeviceAdd);
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}

STUB_EXPORT PalStubState* PalStubGetState() { return &g_state; }

STUB_EXPORT void PalStubReset() {
    std::lock_guard lock(g_state.lock);
    g_state.version = ApiVersionReply{kIoctlAPIVersion, kIoctlMinCompatibleAPIVersion, kDriverVersion};
    g_state.versionBytes = sizeof(ApiVersionReply);
    g_state.settings = BusSettingsBlock{};
    g_state.rates.clear();
    g_state.ratesFail = false;
    g_state.counts = ClientCounts{};
    g_state.unregisterFails = false;
    g_state.reply.clear();
    g_state.replyStatus = 0;
    g_state.holdCategory = 0;
    g_state.commands.clear();
    g_state.held = 0;
    g_state.parked = 0;
    g_state.registered = 0;
    g_state.backlog.clear();
}

STUB_EXPORT void PalStubNotify(const PalNotification* record) {
    WDFREQUEST wait = nullptr;
    if (NT_SUCCESS(WdfIoQueueRetrieveNextRequest(g_waits, &wait))) {
        PVOID output = nullptr;
        if (NT_SUCCESS(WdfRequestRetrieveOutputBuffer(wait, sizeof(*record), &output, nullptr))) {
            std::memcpy(output, record, sizeof(*record));
            WdfRequestCompleteWithInformation(wait, STATUS_SUCCESS, sizeof(*record));
        } else {
            WdfRequestComplete(wait, STATUS_INVALID_PARAMETER);
        }
        return;
    }
    std::lock_guard lock(g_state.lock);
    g_state.backlog.push_back(*record);
}

STUB_EXPORT unsigned PalStubRelease(NTSTATUS status) {
    unsigned released = 0;
    WDFREQUEST request = nullptr;
    while (NT_SUCCESS(WdfIoQueueRetrieveNextRequest(g_held, &request))) {
        size_t length = 0;
        PVOID output = nullptr;
        if (NT_SUCCESS(status) && NT_SUCCESS(WdfRequestRetrieveOutputBuffer(request, kHeader, &output, &length))) {
            std::memset(output, 0, kHeader);
            WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, length);
        } else {
            WdfRequestComplete(request, NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status);
        }
        ++released;
    }
    return released;
}
