// Handles on the root device: "\ASIO" (an ASIO connection), "\PAL" (the
// library's handle), nothing else; and what a handle's cleanup releases.
#define LOG_FILE_NUMBER 102

#include "control/root.h"
#include "logger.h"

using namespace vexa::log;

namespace {

// An ASIO connection gets an audio client when a device is present and the
// manager has room; the manager's check and its taking the client are one
// step, so a client it cannot take is deleted here, never left in the handle.
void OpenAsioConnection(DEVICE_EXTENSION* extension, FILECONTEXT* context, WDFREQUEST request) {
    AudioClientManager* manager = extension->clientManager;
    if (extension->engine->DeviceCount() == 0 || manager->ClientCount() >= kMaxAudioClients) {
        TRACE(kLogInfo | kLogAsio, extension->engine->DeviceCount(), manager->ClientCount());
        return;
    }
    ULONG type = WdfRequestIsFrom32BitProcess(request) ? kClientTypeAsio32 : kClientTypeAsio64;
    AudioClient* client = CreateAudioClient(type);
    if (client == nullptr) {
        TRACE(kLogError | kLogAsio, STATUS_INSUFFICIENT_RESOURCES, type);
        return;
    }
    client->SetOwner(manager);
    if (!manager->AddClient(client)) {
        TRACE(kLogWarning | kLogAsio, type);
        delete client;
        return;
    }
    manager->CountClientType(type, false);
    WritePointerRelease(&context->audioClient, client);
    (void)extension->palClientManager->Notify(vexa::pal::kPalNotifyBusChanged, 0, 0);
}

}  // namespace

// PASSIVE_LEVEL
void RootEvtDeviceFileCreate(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT fileObject) {
    PAGED_CODE();
    DEVICE_EXTENSION* extension = GetDeviceExtension(device);
    FILECONTEXT* context = GetFileContext(fileObject);
    PUNICODE_STRING name = WdfFileObjectGetFileName(fileObject);
    UNICODE_STRING asio = RTL_CONSTANT_STRING(u"\\ASIO");
    UNICODE_STRING pal = RTL_CONSTANT_STRING(u"\\PAL");
    NTSTATUS status = STATUS_SUCCESS;
    if (name != nullptr && RtlEqualUnicodeString(name, &asio, TRUE)) {
        // Every "\ASIO" open succeeds; one without an audio client has its ASIO requests refused.
        OpenAsioConnection(extension, context, request);
    } else if (name != nullptr && RtlEqualUnicodeString(name, &pal, TRUE)) {
        // The PAL client comes with kDcpBusRegisterClient.
    } else {
        status = STATUS_INTERNAL_ERROR;
        TRACE(kLogError | kLogInterface, status);
    }
    WdfRequestComplete(request, status);
}

// PASSIVE_LEVEL, in the host's process at the handle's cleanup: what the
// client mapped into the host can only be unmapped there.
void ShutAudioClient(DEVICE_EXTENSION* extension, FILECONTEXT* context, AudioClient* client) {
    // Requests that come after this see the flag and leave the client alone.
    if (InterlockedExchange(&context->audioClientShut, 1) != 0) return;
    {
        // The manager is there until the root device's clean-up, which takes
        // the clients out of it first: under the gate it is either still
        // there with the client in it, or gone with the client out.
        ClientGateScope gate(extension);
        if (AudioClientManager* manager = extension->clientManager) {
            if (NTSTATUS status = manager->RemoveClient(client); !NT_SUCCESS(status)) {
                TRACE(kLogError | kLogAsio, status);
            }
            manager->CountClientType(client->Type(), true);
            client->SetOwner(nullptr);
        }
    }
    // Waits for a request of the same connection still running on another thread.
    if (NTSTATUS status = client->Close(); !NT_SUCCESS(status)) TRACE(kLogError | kLogAsio, status);
}

void ReleasePalClient(DEVICE_EXTENSION* extension, PalClient* client) {
    {
        // A removed device's manager has gone, and with it every waiting request.
        ClientGateScope gate(extension);
        // Its waiting requests complete cancelled; the client goes even when unregistering fails.
        if (PalClientManager* manager = extension->palClientManager) {
            if (NTSTATUS status = manager->Unregister(client); !NT_SUCCESS(status)) {
                TRACE(kLogError | kLogRequest, status);
            }
        }
    }
    delete client;
}

// PASSIVE_LEVEL: the handle's last close, in the host's process (also after
// the root device has gone: its files stay until their handles close). The
// audio client leaves the manager and releases what it holds of the host
// now; the object stays until the file object goes, as another thread of the
// host may be in a request with it.
void RootEvtFileCleanup(WDFFILEOBJECT fileObject) {
    PAGED_CODE();
    DEVICE_EXTENSION* extension = GetDeviceExtension(WdfFileObjectGetDevice(fileObject));
    FILECONTEXT* context = GetFileContext(fileObject);
    if (AudioClient* client = ReadPointerAcquire(&context->audioClient)) ShutAudioClient(extension, context, client);
    if (PalClient* client = TakePalClient(context)) ReleasePalClient(extension, client);
}

// PASSIVE_LEVEL: the file object goes (after close, when no request holds
// it). What the handle still holds goes now.
void RootEvtFileContextCleanup(WDFOBJECT fileObject) {
    PAGED_CODE();
    auto file = static_cast<WDFFILEOBJECT>(fileObject);
    DEVICE_EXTENSION* extension = GetDeviceExtension(WdfFileObjectGetDevice(file));
    FILECONTEXT* context = GetFileContext(file);
    if (AudioClient* client = TakeAudioClient(context)) {
        ShutAudioClient(extension, context, client);
        delete client;
    }
    if (PalClient* client = TakePalClient(context)) ReleasePalClient(extension, client);
}
