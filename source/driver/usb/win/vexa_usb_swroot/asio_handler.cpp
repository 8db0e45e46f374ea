// The ASIO interface's requests on the root device.
#define LOG_FILE_NUMBER 152

#include "logger.h"
#include "public/asio_interface.h"
#include "root.h"

using namespace vexa::log;
using namespace vexa::asio;

namespace {

struct AsioCode {
    ULONG code;
    ULONG length;       // exact output length (and input length where `exactInput`)
    bool exactInput;
    LONG refusal;       // the ASIO result a handle without an audio client gets
    size_t resultOffset;
};

constexpr size_t kResultOffset = offsetof(AsioRequest, result);

constexpr AsioCode kCodes[] = {
    {kIoctlAsioGetVersion, sizeof(AsioVersionReply), false, ASE_OK, 0},
    {kIoctlAsioGetInfo, sizeof(AsioDeviceInfo), false, ASE_NotPresent, offsetof(AsioDeviceInfo, result)},
    {kIoctlAsioOpen, sizeof(AsioOpenRequest), false, ASE_InvalidParameter, kResultOffset},
    {kIoctlAsioClose, sizeof(AsioRequest), false, ASE_NotPresent, kResultOffset},
    {kIoctlAsioCreateBuffers, sizeof(AsioCreateBuffersRequest), true, ASE_NotPresent, kResultOffset},
    {kIoctlAsioDisposeBuffers, sizeof(AsioRequest), false, ASE_NotPresent, kResultOffset},
    {kIoctlAsioStart, sizeof(AsioRequest), false, ASE_NotPresent, kResultOffset},
    {kIoctlAsioStop, sizeof(AsioRequest), false, ASE_NotPresent, kResultOffset},
    {kIoctlAsioGetBufferSize, sizeof(AsioBufferSizeReply), false, ASE_NotPresent, kResultOffset},
    {kIoctlAsioCanSampleRate, sizeof(AsioRequest), false, ASE_NotPresent, kResultOffset},
    {kIoctlAsioSetSampleRate, sizeof(AsioRequest), false, ASE_NotPresent, kResultOffset},
};

const AsioCode* Find(ULONG code) {
    for (const AsioCode& entry : kCodes) {
        if (entry.code == code) return &entry;
    }
    return nullptr;
}

}  // namespace

// PASSIVE_LEVEL: from the sequential queue, or in the caller's thread for
// open, close, create-buffers and dispose. Completes the request.
void HandleAsioRequest(AudioClientManager*, WDFREQUEST request, ULONG code) {
    ULONG_PTR information = 0;
    NTSTATUS status = CatchStatus([&] {
        const AsioCode* entry = Find(code);
        if (entry == nullptr) RaiseStatus(STATUS_NOT_IMPLEMENTED);
        WDF_REQUEST_PARAMETERS parameters;
        WDF_REQUEST_PARAMETERS_INIT(&parameters);
        WdfRequestGetParameters(request, &parameters);
        PVOID output = nullptr;
        size_t outputLength = 0;
        RaiseIfFailed(WdfRequestRetrieveOutputBuffer(request, 0, &output, &outputLength));
        if (outputLength != entry->length ||
            (entry->exactInput && parameters.Parameters.DeviceIoControl.InputBufferLength != entry->length)) {
            RaiseStatus(STATUS_INVALID_PARAMETER);
        }
        auto* buffer = static_cast<UCHAR*>(output);
        information = entry->length;
        if (code == kIoctlAsioGetVersion) {
            AsioVersionReply reply{kAsioDriverVersion, kAsioInterfaceVersion};
            RtlCopyMemory(buffer, &reply, sizeof(reply));
        } else {
            WDFFILEOBJECT file = WdfRequestGetFileObject(request);
            FILECONTEXT* context = file != nullptr ? GetFileContext(file) : nullptr;
            AudioClient* client = context != nullptr ? ReadPointerAcquire(&context->audioClient) : nullptr;
            if (client == nullptr) {
                // A handle without an audio client (no device, or five clients
                // already) is refused every connection request.
                RtlCopyMemory(buffer + entry->resultOffset, &entry->refusal, sizeof(entry->refusal));
            } else {
                // The connection's sessions, buffers and streaming come with the ASIO host's support.
                RaiseStatus(STATUS_NOT_IMPLEMENTED);
            }
        }
    });
    if (!NT_SUCCESS(status)) {
        information = 0;
        TRACE(kLogError | kLogAsio, status, code);
    }
    WdfRequestCompleteWithInformation(request, status, information);
}
