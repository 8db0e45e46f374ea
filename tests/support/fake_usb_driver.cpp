#include "fake_usb_driver.h"

#include <cstring>

#include "platform/kmdf/wdf.h"
#include "platform/machine/machine.h"

namespace {

FakeUsbState g_state;
AUDIODEVICE_INTERFACE g_exposed;

uint64_t Now() { return platform::Machine::current().clock().now(); }

void NoOp(PVOID) {}

bool Put(void* out, ULONG64* outLength, const void* data, size_t bytes) {
    if (outLength == nullptr || *outLength < bytes) return false;
    if (bytes != 0) std::memcpy(out, data, bytes);
    *outLength = bytes;
    return true;
}

// Caller holds g_state.lock.
ULONG UsbDriverCommand(USHORT command, PVOID in, ULONG64 inLength, PVOID out, ULONG64* outLength) {
    switch (command) {
        case kUsbCmdGetInterfaceVersion:
            return Put(out, outLength, g_state.versionReply, sizeof(g_state.versionReply)) ? kUsbResultOk
                                                                                            : kUsbResultBufferTooSmall;
        case kUsbCmdOpenVendorChannel:
            return kUsbResultOk;
        case kUsbCmdSetStreaming:
            if (inLength != 4) return kUsbResultFailed;
            g_state.streaming = *static_cast<ULONG*>(in) != 0;
            return kUsbResultOk;
        case kUsbCmdSetStreamFormat:
            if (inLength != sizeof(StreamFormat)) return kUsbResultFailed;
            std::memcpy(&g_state.format, in, sizeof(StreamFormat));
            return kUsbResultOk;
        case kUsbCmdMapStreamState: {
            // The whole 136 bytes must be there, though only the address is written.
            if (inLength != sizeof(StreamState)) return kUsbResultFailed;
            StreamState* address = &g_state.streamState;
            std::memcpy(in, &address, sizeof(address));
            return kUsbResultOk;
        }
        case kUsbCmdSetOperationMode:
            if (inLength != 4) return kUsbResultFailed;
            std::memcpy(&g_state.mode, in, 4);
            return kUsbResultOk;
        case kUsbCmdGetLatency: {
            // {safety frames beyond one millisecond, frames per millisecond}, written over the input.
            if (inLength != 8) return kUsbResultFailed;
            ULONG reply[2] = {SafetyFrames(g_state.rate, g_state.mode) - g_state.rate / 1000, g_state.rate / 1000};
            std::memcpy(in, reply, sizeof(reply));
            return kUsbResultOk;
        }
        case kUsbCmdQueryBusy: {
            if (inLength != 4) return kUsbResultFailed;
            ULONG busy = g_state.busyPolls != 0 ? 1 : 0;
            if (g_state.busyPolls != 0) --g_state.busyPolls;
            std::memcpy(in, &busy, sizeof(busy));
            return kUsbResultOk;
        }
        default:
            return kUsbResultFailed;
    }
}

// Caller holds g_state.lock. The clock commands the USB driver answers itself.
ULONG ClockCommand(USHORT command, PVOID in, ULONG64 inLength, PVOID out, ULONG64* outLength) {
    const auto& spec = platform::device::data_sheet(g_state.model);
    switch (command) {
        case kDcpClockListSources: {
            const auto& sources = g_state.clockSources;
            return Put(out, outLength, sources.data(), sources.size() * 2) ? kUsbResultOk : kUsbResultBufferTooSmall;
        }
        case kDcpClockListRates:
            return Put(out, outLength, spec.rates.data(), spec.rates.size() * 4) ? kUsbResultOk
                                                                                 : kUsbResultBufferTooSmall;
        case kDcpClockGet: {
            uint8_t reply[8] = {};
            std::memcpy(reply, &g_state.rate, 4);
            std::memcpy(reply + 4, &g_state.clock, 2);
            return Put(out, outLength, reply, sizeof(reply)) ? kUsbResultOk : kUsbResultBufferTooSmall;
        }
        default: {
            if (inLength != 8) return kUsbResultFailed;
            uint32_t rate;
            std::memcpy(&rate, in, 4);
            bool listed = false;
            for (uint32_t r : spec.rates) listed = listed || r == rate;
            if (!listed) return kUsbResultFailed;
            g_state.rate = rate;
            std::memcpy(&g_state.clock, static_cast<uint8_t*>(in) + 4, 2);
            return kUsbResultOk;
        }
    }
}

ULONG FakeCommandEntry(PVOID, USHORT category, USHORT command, PVOID in, ULONG64 inLength, PVOID out,
                       ULONG64* outLength) {
    std::lock_guard guard(g_state.lock);
    g_state.commands.push_back(FakeUsbCommand{category, command, Now()});
    auto injected = g_state.injected.find(uint32_t{category} << 16 | command);
    if (injected != g_state.injected.end() && !injected->second.empty()) {
        ULONG result = injected->second.front();
        injected->second.pop_front();
        return result;
    }
    if (category == kDcpCategoryUsbDevice) return UsbDriverCommand(command, in, inLength, out, outLength);
    if (category == kDcpCategoryClock && command <= kDcpClockSet) {
        return ClockCommand(command, in, inLength, out, outLength);
    }
    auto* bytes = static_cast<uint8_t*>(in);
    platform::device::FirmwareReply reply =
        g_state.firmware->execute(category, command, std::vector<uint8_t>(bytes, bytes + inLength));
    if (reply.status != 0) return kUsbResultFailed;
    if (!Put(out, outLength, reply.payload.data(), reply.payload.size())) return kUsbResultTooLarge;
    return kUsbResultOk;
}

NTSTATUS FakeQueryInterface(WDFDEVICE, GUID* interfaceType, PINTERFACE exposed, PVOID) {
    auto* requester = reinterpret_cast<AUDIODEVICE_INTERFACE*>(exposed);
    if (interfaceType == nullptr || !(*interfaceType == GUID_DEVINTERFACE_PAL) || requester == nullptr ||
        requester->Size < kAudioDeviceInterfaceSize) {
        return STATUS_NOT_SUPPORTED;
    }
    std::lock_guard guard(g_state.lock);
    ++g_state.queries;
    g_state.bound = *requester;
    requester->CommandEntry = FakeCommandEntry;
    requester->CommandContext = &g_state;
    return STATUS_SUCCESS;
}

NTSTATUS FakeDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    {
        std::lock_guard guard(g_state.lock);
        g_state.commands.clear();
        g_state.queries = 0;
        g_state.bound = {};
        g_state.streaming = false;
        g_state.firmware = std::make_unique<platform::device::Firmware>(
            platform::device::data_sheet(g_state.model), 7);
        if (g_state.firmwareSetup) g_state.firmwareSetup(*g_state.firmware);
    }
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status)) return status;
    std::memset(&g_exposed, 0, sizeof(g_exposed));
    g_exposed.Size = kAudioDeviceInterfaceSize;
    g_exposed.Version = kAudioDeviceInterfaceVersion;
    g_exposed.InterfaceReference = NoOp;
    g_exposed.InterfaceDereference = NoOp;
    WDF_QUERY_INTERFACE_CONFIG config;
    WDF_QUERY_INTERFACE_CONFIG_INIT(&config, reinterpret_cast<PINTERFACE>(&g_exposed), &GUID_DEVINTERFACE_PAL,
                                    FakeQueryInterface);
    config.ImportInterface = TRUE;
    status = WdfDeviceAddQueryInterface(device, &config);
    if (!NT_SUCCESS(status)) return status;
    return WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_AUDIODEVICE, nullptr);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) FakeUsbState* FakeUsbGetState() { return &g_state; }

extern "C" __attribute__((visibility("default"))) uint32_t FakeUsbNotify(uint32_t type, uint32_t value) {
    AUDIODEVICE_INTERFACE bound;
    {
        std::lock_guard guard(g_state.lock);
        bound = g_state.bound;
    }
    if (bound.NotificationCallback == nullptr || bound.ClientDevice == nullptr) return 0xFFFFFFFF;
    return bound.NotificationCallback(bound.NotifyContext, bound.ClientDevice, type, value);
}

extern "C" __attribute__((visibility("default"))) NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject,
                                                                       PUNICODE_STRING registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, FakeDeviceAdd);
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}
