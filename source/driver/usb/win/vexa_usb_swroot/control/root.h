// The root driver's contexts and callbacks.
#pragma once

#include "asio/asio_handler.h"
#include "children/child_devices.h"
#include "control/pal_client_manager.h"
#include "engine/audio_client_manager.h"
#include "engine/audio_engine.h"
#include "platform/kmdf/wdf.h"

// The FDO's context: four owning pointers, null until device add fills them
// and again once the device's clean-up has deleted them. A removed device's
// handles outlive it (until their processes close them), so their cleanup
// may come after that: `clientGate` keeps it and the device's clean-up apart.
struct DEVICE_EXTENSION {
    AudioEngine* engine;
    AudioClientManager* clientManager;  // guarded by clientGate once the device is up
    PalClientManager* palClientManager;  // guarded by clientGate once the device is up
    ChildBook* childBook;                // the engine's children; goes after the engine
    // A synchronization event used as a lock (signalled while free), not a
    // framework object: it lasts as long as the context, past the device's
    // deletion, for the handles' cleanup. PASSIVE_LEVEL.
    KEVENT clientGate;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_EXTENSION, GetDeviceExtension)

// Holds the extension's client gate for a scope. PASSIVE_LEVEL.
class ClientGateScope {
public:
    explicit ClientGateScope(DEVICE_EXTENSION* extension) : gate_(&extension->clientGate) {
        (void)KeWaitForSingleObject(gate_, Executive, KernelMode, FALSE, nullptr);
    }
    ~ClientGateScope() { (void)KeSetEvent(gate_, IO_NO_INCREMENT, FALSE); }
    ClientGateScope(const ClientGateScope&) = delete;
    ClientGateScope& operator=(const ClientGateScope&) = delete;

private:
    KEVENT* gate_;
};

// One per handle. The handle's cleanup runs beside requests still in flight
// on it: a client is stored with a release write, looked at with an acquire
// read, and taken with an interlocked exchange; whoever takes it deletes it.
// An audio client is shut at the handle's cleanup (out of the manager,
// closed; the flag set first, by interlocked exchange, read with acquire
// order) and deleted only when the file object goes, after every request on
// the handle has finished with it.
struct FILECONTEXT {
    AudioClient* volatile audioClient;  // "\ASIO" handles that got one
    PalClient* volatile palClient;      // between kDcpBusRegisterClient and unregister or cleanup
    volatile LONG audioClientShut;      // 1 once the handle's cleanup shut its audio client
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FILECONTEXT, GetFileContext)

template <typename Client>
Client* TakeClient(Client* volatile* slot) {
    return static_cast<Client*>(InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(slot), nullptr));
}
inline AudioClient* TakeAudioClient(FILECONTEXT* context) { return TakeClient(&context->audioClient); }
inline PalClient* TakePalClient(FILECONTEXT* context) { return TakeClient(&context->palClient); }

// The framework callbacks, by role. All but RootEvtIoStop run at
// PASSIVE_LEVEL and check it at entry.

// driver.cpp
EVT_WDF_DRIVER_UNLOAD RootEvtDriverUnload;

// device.cpp
[[nodiscard]] EVT_WDF_DRIVER_DEVICE_ADD RootEvtDriverDeviceAdd;
// The child list's create callback: the child PDO, with the root device's engine.
[[nodiscard]] EVT_WDF_CHILD_LIST_CREATE_DEVICE OnCreateChild;
EVT_WDF_OBJECT_CONTEXT_CLEANUP RootEvtDeviceCleanup;

// file.cpp (no framework synchronisation)
EVT_WDF_DEVICE_FILE_CREATE RootEvtDeviceFileCreate;
EVT_WDF_FILE_CLEANUP RootEvtFileCleanup;
EVT_WDF_OBJECT_CONTEXT_CLEANUP RootEvtFileContextCleanup;
// Removes, uncounts and closes a handle's audio client, once per handle (the
// root device's removal may have taken it out of the manager already).
void ShutAudioClient(DEVICE_EXTENSION* extension, FILECONTEXT* context, AudioClient* client);
// Unregisters (while the manager is there) and deletes a handle's PAL client.
void ReleasePalClient(DEVICE_EXTENSION* extension, PalClient* client);

// audio_client.cpp: a zeroed client of the given type (an ASIO client or a
// kernel client, each from its own side), ready for its handle; null for an
// unknown type or without memory. PASSIVE_LEVEL.
AudioClient* CreateAudioClient(ULONG type);

// dispatch.cpp
EVT_WDF_IO_IN_CALLER_CONTEXT RootEvtIoInCallerContext;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL RootEvtIoDeviceControl;
EVT_WDF_IO_QUEUE_IO_STOP RootEvtIoStop;

// bus_commands.cpp: the root's own DCP commands (category 0x400). `buffer` is
// the request's system buffer (at least 16 bytes). Returns the request's
// status; a success completes with the whole output length.
[[nodiscard]] NTSTATUS RunBusCommand(DEVICE_EXTENSION* extension, WDFREQUEST request, UCHAR* buffer,
                                     size_t inputLength, size_t outputLength);

// The ASIO handler's view of the root device and of the request's handle.
AsioRequestParts AsioPartsOf(DEVICE_EXTENSION* extension, WDFREQUEST request);
