// Test equipment: the scripted stand-in for the root driver's ASIO interface
// (scripted_asio_root.h). Every request is served in the sender's thread, as
// the root serves the ones that reference the caller's handles or map memory
// into it; the lengths are checked as the root checks them. A held request
// waits in the device's manual queue, which completes it when it is cancelled.
#include <sys/mman.h>
#include <unistd.h>

#include "platform/kmdf/wdf.h"
#include "platform/machine/process.h"
#include "source/driver/usb/win/vexa_usb_swroot/public/pal_interface.h"
#include "support/scripted_asio_root.h"

#define SCRIPTED_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace vexa::asio;
using vexa::test::ScriptedAsioRoot;
using vexa::test::ScriptedRequest;

constexpr ACCESS_MASK kSynchronize = 0x00100000;
constexpr size_t kPageBytes = 4096;
constexpr uint64_t kContextBase = 0x5C0E000000000000ull;

ScriptedAsioRoot g_root;

// Memory of the root mapped into a host: the root's view and the host's.
struct SharedRegion {
    int fd = -1;
    void* kernel = nullptr;
    size_t bytes = 0;
    void* user = nullptr;
    ULONG processId = 0;
};
SharedRegion g_block;    // guarded by g_root.lock
SharedRegion g_buffers;  // guarded by g_root.lock
WDFFILEOBJECT g_owner = nullptr;  // guarded by g_root.lock: the handle holding the connection
uint64_t g_sessions = 0;          // guarded by g_root.lock

bool Map(SharedRegion* region, size_t bytes) {
    platform::Process* process = platform::current_process();
    if (process == nullptr) return false;
    region->bytes = (bytes + kPageBytes - 1) / kPageBytes * kPageBytes;
    region->fd = memfd_create("vexa-scripted-asio", MFD_CLOEXEC);
    if (region->fd < 0 || ftruncate(region->fd, static_cast<off_t>(region->bytes)) != 0) return false;
    void* kernel = mmap(nullptr, region->bytes, PROT_READ | PROT_WRITE, MAP_SHARED, region->fd, 0);
    if (kernel == MAP_FAILED) return false;
    region->kernel = kernel;
    region->user = process->map_shared(region->fd, region->bytes);
    region->processId = process->id();
    return region->user != nullptr;
}

// In the owning process's context (a request or the handle's cleanup); a
// process that has ended took its mapping with it.
void Unmap(SharedRegion* region) {
    platform::Process* process = platform::current_process();
    if (region->user != nullptr && process != nullptr && process->id() == region->processId) {
        process->unmap_shared(region->user);
    }
    if (region->kernel != nullptr) munmap(region->kernel, region->bytes);
    if (region->fd >= 0) close(region->fd);
    *region = SharedRegion{};
}

void FreeBuffers() {
    Unmap(&g_buffers);
    g_root.buffersExist = false;
    g_root.started = false;
    g_root.userBuffers = 0;
}

void CloseSession() {
    FreeBuffers();
    for (PVOID& event : g_root.events) {
        if (event != nullptr) ObDereferenceObject(event);
        event = nullptr;
    }
    g_root.block = nullptr;
    g_root.userBlock = 0;
    Unmap(&g_block);
    g_root.sessionOpen = false;
    g_root.context = 0;
}

int32_t Result(ULONG code) {
    auto it = g_root.results.find(code);
    return it == g_root.results.end() ? ASE_OK : it->second;
}

size_t ExpectedLength(ULONG code) {
    switch (code) {
        case kIoctlAsioGetVersion: return sizeof(AsioVersionReply);
        case kIoctlAsioGetInfo: return sizeof(AsioDeviceInfo);
        case kIoctlAsioOpen: return sizeof(AsioOpenRequest);
        case kIoctlAsioCreateBuffers: return sizeof(AsioCreateBuffersRequest);
        case kIoctlAsioGetBufferSize: return sizeof(AsioBufferSizeReply);
        case kIoctlAsioClose:
        case kIoctlAsioDisposeBuffers:
        case kIoctlAsioStart:
        case kIoctlAsioStop:
        case kIoctlAsioCanSampleRate:
        case kIoctlAsioSetSampleRate: return sizeof(AsioRequest);
        default: return 0;
    }
}

void Open(AsioOpenRequest* open) {
    if (g_root.sessionOpen) {
        open->result = ASE_InvalidParameter;
        return;
    }
    HANDLE handles[] = {reinterpret_cast<HANDLE>(open->switchEvent), reinterpret_cast<HANDLE>(open->resetEvent),
                        reinterpret_cast<HANDLE>(open->resyncEvent), reinterpret_cast<HANDLE>(open->latencyEvent)};
    open->result = ASE_OK;
    for (int i = 0; i < ScriptedAsioRoot::kEventCount; ++i) {
        if (!NT_SUCCESS(ObReferenceObjectByHandle(handles[i], kSynchronize, *ExEventObjectType, UserMode,
                                                  &g_root.events[i], nullptr))) {
            open->result = ASE_NoMemory;
        }
    }
    if (open->result == ASE_OK && !Map(&g_block, sizeof(AsioSharedBlock))) open->result = ASE_NoMemory;
    if (open->result != ASE_OK) {
        CloseSession();
        return;
    }
    g_root.block = static_cast<AsioSharedBlock*>(g_block.kernel);
    g_root.userBlock = reinterpret_cast<uint64_t>(g_block.user);
    g_root.sessionOpen = true;
    g_root.context = kContextBase + ++g_sessions;
    open->context = g_root.zeroContext ? 0 : g_root.context;
    open->sharedBlock = g_root.zeroBlock ? 0 : g_root.userBlock;
    open->result = Result(kIoctlAsioOpen);
    if (g_root.resetOnOpen) KeSetEvent(static_cast<KEVENT*>(g_root.events[ScriptedAsioRoot::kReset]), 0, FALSE);
}

// Carved as the root carves it: per channel in order, the output's double buffer before the input's.
void CreateBuffers(AsioCreateBuffersRequest* request) {
    if (g_root.buffersExist) {
        request->result = ASE_InvalidParameter;
        return;
    }
    request->result = Result(kIoctlAsioCreateBuffers);
    if (request->result != ASE_OK) return;
    size_t halfBytes = size_t{request->bufferSize} * 4;
    if (!Map(&g_buffers, size_t{request->channelCount} * halfBytes * 2 + 1)) {
        Unmap(&g_buffers);
        request->result = ASE_NoMemory;
        return;
    }
    uint64_t next = reinterpret_cast<uint64_t>(g_buffers.user);
    for (uint32_t n = 0; n < kAsioMaxChannels; ++n) {
        if (request->outputEnable[n] != 0) {
            request->outputBuffers[n] = static_cast<int32_t>(n) == g_root.zeroOutputBuffer ? 0 : next;
            next += halfBytes * 2;
        }
        if (request->inputEnable[n] != 0) {
            request->inputBuffers[n] = next;
            next += halfBytes * 2;
        }
    }
    g_root.buffersExist = true;
    g_root.bufferSize = request->bufferSize;
    g_root.userBuffers = reinterpret_cast<uint64_t>(g_buffers.user);
}

// One request, under the root's lock; its result goes into `buffer`.
void Serve(ULONG code, UCHAR* buffer) {
    if (code == kIoctlAsioGetVersion) {
        AsioVersionReply reply{kAsioDriverVersion, g_root.interfaceVersion};
        std::memcpy(buffer, &reply, sizeof(reply));
        return;
    }
    if (code == kIoctlAsioGetInfo) {
        std::memcpy(buffer, &g_root.info, sizeof(g_root.info));
        reinterpret_cast<AsioDeviceInfo*>(buffer)->result = ASE_OK;
        return;
    }
    if (code == kIoctlAsioOpen) {
        Open(reinterpret_cast<AsioOpenRequest*>(buffer));
        return;
    }
    uint64_t context;
    std::memcpy(&context, buffer, sizeof(context));
    int32_t* result = reinterpret_cast<int32_t*>(buffer + offsetof(AsioRequest, result));
    if (!g_root.sessionOpen || context != g_root.context) {
        *result = ASE_InvalidParameter;
        return;
    }
    auto* request = reinterpret_cast<AsioRequest*>(buffer);
    switch (code) {
        case kIoctlAsioClose:
            CloseSession();
            *result = ASE_OK;
            break;
        case kIoctlAsioCreateBuffers:
            CreateBuffers(reinterpret_cast<AsioCreateBuffersRequest*>(buffer));
            break;
        case kIoctlAsioDisposeBuffers:
            // The buffers go whatever result the script answers with, as the root's always go.
            *result = g_root.buffersExist ? Result(code) : ASE_InvalidParameter;
            FreeBuffers();
            break;
        case kIoctlAsioStart:
            *result = g_root.buffersExist ? Result(code) : ASE_InvalidParameter;
            if (*result == ASE_OK) {
                // As the root starts a client: half 1 is the host's, the counts from zero.
                WriteULongRelease(&g_root.block->switchSequence, 0);
                WriteULongRelease(&g_root.block->switchAck, 0);
                WriteULong64Release(&g_root.block->samplePosition, 0);
                WriteULong64Release(&g_root.block->systemTime, 0);
                WriteRelease(&g_root.block->bufferIndex, 1);
                g_root.started = true;
            }
            break;
        case kIoctlAsioStop:
            *result = Result(code);
            if (*result == ASE_OK) g_root.started = false;
            break;
        case kIoctlAsioGetBufferSize: {
            auto* reply = reinterpret_cast<AsioBufferSizeReply*>(buffer);
            AsioBufferSizeReply sizes = g_root.sizes;
            sizes.context = reply->context;
            sizes.result = Result(code);
            *reply = sizes;
            break;
        }
        case kIoctlAsioCanSampleRate:
            g_root.lastRate = request->value;
            *result = Result(code);
            break;
        case kIoctlAsioSetSampleRate:
            g_root.lastRate = request->value;
            *result = Result(code);
            if (*result == ASE_OK) g_root.info.sampleRate = request->value;
            break;
        default:
            break;
    }
}

void ScriptedEvtIoInCallerContext(WDFDEVICE device, WDFREQUEST request) {
    WDF_REQUEST_PARAMETERS parameters;
    WDF_REQUEST_PARAMETERS_INIT(&parameters);
    WdfRequestGetParameters(request, &parameters);
    ULONG code = parameters.Parameters.DeviceIoControl.IoControlCode;
    size_t inputLength = parameters.Parameters.DeviceIoControl.InputBufferLength;
    size_t outputLength = parameters.Parameters.DeviceIoControl.OutputBufferLength;
    PVOID input = nullptr;
    if (inputLength != 0 && !NT_SUCCESS(WdfRequestRetrieveInputBuffer(request, 0, &input, nullptr))) input = nullptr;
    void (*hook)(uint32_t) = nullptr;
    NTSTATUS failure = STATUS_SUCCESS;
    bool hold = false;
    {
        std::lock_guard guard(g_root.lock);
        ScriptedRequest record;
        record.code = code;
        record.inputBytes = static_cast<uint32_t>(inputLength);
        record.outputBytes = static_cast<uint32_t>(outputLength);
        if (input != nullptr) record.input.assign(static_cast<UCHAR*>(input), static_cast<UCHAR*>(input) + inputLength);
        platform::Process* process = platform::current_process();
        record.processId = process != nullptr ? process->id() : 0;
        g_root.requests.push_back(std::move(record));
        hook = g_root.onRequest;
        if (auto it = g_root.failures.find(code); it != g_root.failures.end()) failure = it->second;
        hold = g_root.holds.count(code) != 0;
    }
    if (hook != nullptr) hook(code);
    if (hold) {
        {
            std::lock_guard guard(g_root.lock);
            ++g_root.held;
        }
        // Unlocked: a request cancelled already is completed by the queue at once.
        NTSTATUS status = WdfDeviceEnqueueRequest(device, request);
        if (!NT_SUCCESS(status)) WdfRequestComplete(request, status);
        return;
    }
    if (!NT_SUCCESS(failure)) {
        WdfRequestComplete(request, failure);
        return;
    }
    size_t expected = ExpectedLength(code);
    PVOID output = nullptr;
    if (expected == 0) {
        WdfRequestComplete(request, STATUS_NOT_IMPLEMENTED);
        return;
    }
    if (outputLength != expected || (code == kIoctlAsioCreateBuffers && inputLength != expected) ||
        !NT_SUCCESS(WdfRequestRetrieveOutputBuffer(request, expected, &output, nullptr))) {
        WdfRequestComplete(request, STATUS_INVALID_PARAMETER);
        return;
    }
    {
        std::lock_guard guard(g_root.lock);
        Serve(code, static_cast<UCHAR*>(output));
    }
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, expected);
}

void ScriptedEvtIoCanceledOnQueue(WDFQUEUE, WDFREQUEST request) {
    {
        std::lock_guard guard(g_root.lock);
        ++g_root.cancelled;
    }
    WdfRequestComplete(request, STATUS_CANCELLED);
}

void ScriptedEvtDeviceFileCreate(WDFDEVICE, WDFREQUEST request, WDFFILEOBJECT file) {
    PUNICODE_STRING name = WdfFileObjectGetFileName(file);
    UNICODE_STRING asio = RTL_CONSTANT_STRING(u"\\ASIO");
    NTSTATUS status = STATUS_SUCCESS;
    {
        std::lock_guard guard(g_root.lock);
        if (name == nullptr || !RtlEqualUnicodeString(name, &asio, TRUE)) {
            status = STATUS_OBJECT_NAME_NOT_FOUND;
        } else if (g_root.busyOpens > 0 || g_root.handleOpen) {
            if (g_root.busyOpens > 0) --g_root.busyOpens;
            ++g_root.busyAnswers;
            status = STATUS_DEVICE_BUSY;
        } else {
            g_root.handleOpen = true;
            g_owner = file;
            ++g_root.creates;
        }
    }
    WdfRequestComplete(request, status);
}

void ScriptedEvtFileCleanup(WDFFILEOBJECT file) {
    std::lock_guard guard(g_root.lock);
    if (file != g_owner) return;
    CloseSession();
    g_root.handleOpen = false;
    g_owner = nullptr;
}

NTSTATUS ScriptedEvtDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    WdfDeviceInitSetIoInCallerContextCallback(init, ScriptedEvtIoInCallerContext);
    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, ScriptedEvtDeviceFileCreate, nullptr, ScriptedEvtFileCleanup);
    WdfDeviceInitSetFileObjectConfig(init, &fileConfig, WDF_NO_OBJECT_ATTRIBUTES);
    WDFDEVICE device = nullptr;
    NTSTATUS status = WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status)) return status;
    // Where held requests wait: nothing else reaches it, as every other request completes in its caller's context.
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchManual);
    config.EvtIoCanceledOnQueue = ScriptedEvtIoCanceledOnQueue;
    WDFQUEUE queue = nullptr;
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &queue);
    if (!NT_SUCCESS(status)) return status;
    UNICODE_STRING reference = RTL_CONSTANT_STRING(u"ASIO");
    return WdfDeviceCreateDeviceInterface(device, &GUID_DEVINTERFACE_ASIO, &reference);
}

}  // namespace

SCRIPTED_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, ScriptedEvtDeviceAdd);
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}

SCRIPTED_EXPORT ScriptedAsioRoot* VexaScriptedAsioRoot() { return &g_root; }
