// The root device's I/O-control dispatch: the PAL interface's codes, DCP
// commands (the root's own and those passed on to the current device), and
// everything else to the ASIO request handler.
#define LOG_FILE_NUMBER 103

#include <cstddef>

#include "control/root.h"
#include "event_log.h"
#include "logger.h"
#include "messages.h"
#include "public/asio_interface.h"

using namespace vexa::log;
using namespace vexa::pal;

namespace {

constexpr size_t kReplyHeaderBytes = sizeof(DcpReply);
constexpr size_t kRequestHeaderBytes = sizeof(DcpRequest);

// The codes that reference the caller's handles or map memory into it, so
// they run in the caller's thread.
bool RunsInCallerContext(ULONG code) {
    return code == vexa::asio::kIoctlAsioOpen || code == vexa::asio::kIoctlAsioClose ||
           code == vexa::asio::kIoctlAsioCreateBuffers || code == vexa::asio::kIoctlAsioDisposeBuffers;
}

// A DCP command of another category, passed to the current device. The data
// is copied out first: the reply is written over the same buffer.
[[nodiscard]] NTSTATUS ForwardCommand(DEVICE_EXTENSION* extension, UCHAR* buffer, size_t inputLength,
                                      size_t outputLength) {
    DcpRequest header;
    RtlCopyMemory(&header, buffer, sizeof(header));
    if (header.category == kDcpCategoryUsbDevice) {
        // The USB function driver's own commands (streaming, its state block,
        // reads through kernel pointers) are the root driver's to send, never user mode's.
        return STATUS_ACCESS_DENIED;
    }
    if (header.category == kDcpCategoryClock && header.command == kDcpClockSet) {
        // A clock set behind the engine's back would leave the engine, the bus
        // settings and the registry at the old rate while the interface runs at
        // the new one: user mode changes the rate with the bus's own command.
        return STATUS_ACCESS_DENIED;
    }
    ULONG dataBytes = static_cast<ULONG>(inputLength - kRequestHeaderBytes);
    PoolBuffer copy(NonPagedPoolNx, dataBytes, kPoolTagObject);
    void* data = copy.Get();
    if (dataBytes != 0) {
        if (data == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
        RtlCopyMemory(data, buffer + kRequestHeaderBytes, dataBytes);
    }
    ULONG64 replyBytes = outputLength > kReplyHeaderBytes ? outputLength - kReplyHeaderBytes : 0;
    ULONG result = 0;
    auto send = [&](AudioDevice* device) {
        if (device == nullptr) return false;
        result = device->Command(header.category, header.command, data, dataBytes, buffer + kReplyHeaderBytes,
                                 &replyBytes);
        return true;
    };
    // Target 0 is the current device; any other names a listed device by its
    // PAL identity, so a command for one interface never reaches another.
    bool present = header.target == 0 ? extension->engine->WithCurrentDevice(send)
                                      : extension->engine->WithListedDevice(header.target, send);
    if (!present) return STATUS_DEVICE_NOT_CONNECTED;
    DcpReply reply{result, static_cast<uint32_t>(replyBytes)};
    RtlCopyMemory(buffer, &reply, sizeof(reply));
    TRACE(kLogDetail | kLogRequest, header.category, header.command, result);
    return result == kUsbResultOk ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// The output buffer with at least `minimum` bytes; a shorter one is a malformed request.
PVOID OutputBuffer(WDFREQUEST request, size_t minimum) {
    PVOID buffer = nullptr;
    if (!NT_SUCCESS(WdfRequestRetrieveOutputBuffer(request, minimum, &buffer, nullptr)))
        RaiseStatus(STATUS_INVALID_PARAMETER);
    return buffer;
}

}  // namespace

// PASSIVE_LEVEL, in the sender's thread.
void RootEvtIoInCallerContext(WDFDEVICE device, WDFREQUEST request) {
    PAGED_CODE();
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(request, &parameters);
    ULONG code = parameters.Parameters.DeviceIoControl.IoControlCode;
    if (parameters.Type == WdfRequestTypeDeviceControl && RunsInCallerContext(code)) {
        HandleAsioRequest(AsioPartsOf(GetDeviceExtension(device), request), request, code);
        return;
    }
    NTSTATUS status = WdfDeviceEnqueueRequest(device, request);
    if (!NT_SUCCESS(status)) {
        TRACE(kLogError | kLogRequest, status, code);
        LogEvent(WdfDeviceWdmGetDeviceObject(device), kMajorDeviceControl, MSG_QUEUE_REQUEST_FAILED, status);
        WdfRequestComplete(request, status);
    }
}

// PASSIVE_LEVEL, one at a time (sequential queue, device synchronisation).
void RootEvtIoDeviceControl(WDFQUEUE queue, WDFREQUEST request, size_t outputLength, size_t inputLength, ULONG code) {
    PAGED_CODE();
    DEVICE_EXTENSION* extension = GetDeviceExtension(WdfIoQueueGetDevice(queue));
    TRACE(kLogDetail | kLogRequest, code, inputLength, outputLength);
    bool owned = true;  // false once the request waits in the PAL queue or the ASIO handler took it
    NTSTATUS status = CatchStatus([&] {
        switch (code) {
            case kIoctlGetApiVersion: {
                PVOID buffer = OutputBuffer(request, sizeof(ApiVersionReply));
                ApiVersionReply reply{kIoctlAPIVersion, kIoctlMinCompatibleAPIVersion, kDriverVersion};
                RtlCopyMemory(buffer, &reply, sizeof(reply));
                break;
            }
            case kIoctlGetDeviceKind: {
                PVOID buffer = OutputBuffer(request, kDeviceKindBytes);
                bool present = extension->engine->WithCurrentDevice([&](AudioDevice* device) {
                    if (device == nullptr) return false;
                    ULONG kind = device->GetDeviceKind();
                    RtlCopyMemory(static_cast<UCHAR*>(buffer) + kDeviceKindOffset, &kind, sizeof(kind));
                    return true;
                });
                if (!present) RaiseStatus(STATUS_INVALID_PARAMETER);
                break;
            }
            case kIoctlWaitNotification: {
                PVOID buffer = OutputBuffer(request, sizeof(PalNotification));
                PalNotification record{};
                NTSTATUS waited = extension->palClientManager->WaitForNotification(WdfRequestGetFileObject(request),
                                                                                    request, &record);
                if (waited == STATUS_PENDING) {
                    owned = false;
                    break;
                }
                RaiseIfFailed(waited);
                RtlCopyMemory(buffer, &record, sizeof(record));
                break;
            }
            case kIoctlDcpCommand: {
                PVOID input = nullptr;
                if (!NT_SUCCESS(WdfRequestRetrieveInputBuffer(request, kRequestHeaderBytes, &input, nullptr))) {
                    RaiseStatus(STATUS_INVALID_PARAMETER);
                }
                auto* buffer = static_cast<UCHAR*>(input);
                USHORT category;
                RtlCopyMemory(&category, buffer + offsetof(DcpRequest, category), sizeof(category));
                RaiseIfFailed(category == kDcpCategoryBus
                                  ? RunBusCommand(extension, request, buffer, inputLength, outputLength)
                                  : ForwardCommand(extension, buffer, inputLength, outputLength));
                break;
            }
            default:
                owned = false;
                HandleAsioRequest(AsioPartsOf(extension, request), request, code);
                break;
        }
    });
    if (owned) {
        if (!NT_SUCCESS(status)) TRACE(kLogError | kLogRequest, status, code);
        // A success hands the caller its whole output length; a refusal no data.
        WdfRequestCompleteWithInformation(request, status, NT_SUCCESS(status) ? outputLength : 0);
    }
}

// A request without a file has no handle to serve: no client slot, no flag.
AsioRequestParts AsioPartsOf(DEVICE_EXTENSION* extension, WDFREQUEST request) {
    WDFFILEOBJECT file = WdfRequestGetFileObject(request);
    FILECONTEXT* context = file != nullptr ? GetFileContext(file) : nullptr;
    return {extension->engine, extension->clientManager, extension->palClientManager,
            context != nullptr ? &context->audioClient : nullptr,
            context != nullptr ? &context->audioClientShut : nullptr};
}

// The root's requests need nothing done when the device leaves D0.
void RootEvtIoStop(WDFQUEUE, WDFREQUEST, ULONG) {}
