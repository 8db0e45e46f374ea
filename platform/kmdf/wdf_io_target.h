// Framework I/O targets: started, stopped or closed; a stop cancels or waits
// for the I/O already sent, and requests sent while stopped wait in order
// for the next start.
#pragma once

#include "wdf_object.h"

enum WDF_IO_TARGET_SENT_IO_ACTION : ULONG {
    WdfIoTargetSentIoUndefined = 0,
    WdfIoTargetCancelSentIo,
    WdfIoTargetWaitForSentIoToComplete,
    WdfIoTargetLeaveSentIoPending,
};

enum WDF_IO_TARGET_STATE : ULONG {
    WdfIoTargetStateUndefined = 0,
    WdfIoTargetStarted,
    WdfIoTargetStopped,
    WdfIoTargetClosedForQueryRemove,
    WdfIoTargetClosed,
    WdfIoTargetDeleted,
};

// PASSIVE_LEVEL.
NTSTATUS WdfIoTargetStart(WDFIOTARGET target);
// PASSIVE_LEVEL unless the action is WdfIoTargetLeaveSentIoPending.
void WdfIoTargetStop(WDFIOTARGET target, WDF_IO_TARGET_SENT_IO_ACTION action);

inline constexpr ULONG WDF_REQUEST_SEND_OPTION_TIMEOUT = 0x1;
inline constexpr ULONG WDF_REQUEST_SEND_OPTION_SYNCHRONOUS = 0x2;
inline constexpr ULONG WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE = 0x4;
inline constexpr ULONG WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET = 0x8;

struct WDF_REQUEST_SEND_OPTIONS {
    ULONG Size;
    ULONG Flags;
    LONGLONG Timeout;  // 100 ns units; negative is relative
};

inline void WDF_REQUEST_SEND_OPTIONS_INIT(WDF_REQUEST_SEND_OPTIONS* options, ULONG flags) {
    std::memset(options, 0, sizeof(*options));
    options->Size = sizeof(*options);
    options->Flags = flags;
}

inline void WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(WDF_REQUEST_SEND_OPTIONS* options, LONGLONG timeout) {
    options->Flags |= WDF_REQUEST_SEND_OPTION_TIMEOUT;
    options->Timeout = timeout;
}

constexpr LONGLONG WDF_REL_TIMEOUT_IN_MS(ULONG ms) { return -static_cast<LONGLONG>(ms) * 10'000; }

enum WDF_MEMORY_DESCRIPTOR_TYPE : ULONG {
    WdfMemoryDescriptorTypeInvalid = 0,
    WdfMemoryDescriptorTypeBuffer,
    WdfMemoryDescriptorTypeMdl,
    WdfMemoryDescriptorTypeHandle,
};

struct WDF_MEMORY_DESCRIPTOR {
    WDF_MEMORY_DESCRIPTOR_TYPE Type;
    union {
        struct {
            PVOID Buffer;
            ULONG Length;
        } BufferType;
        struct {
            WDFMEMORY Memory;
            PVOID Offsets;
        } HandleType;
    } u;
};

inline void WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(WDF_MEMORY_DESCRIPTOR* descriptor, PVOID buffer, ULONG length) {
    std::memset(descriptor, 0, sizeof(*descriptor));
    descriptor->Type = WdfMemoryDescriptorTypeBuffer;
    descriptor->u.BufferType.Buffer = buffer;
    descriptor->u.BufferType.Length = length;
}

// ---- remote I/O targets: another stack's device opened by name --------------------------------

enum WDF_IO_TARGET_OPEN_TYPE : ULONG {
    WdfIoTargetOpenUndefined = 0,
    WdfIoTargetOpenUseExistingDevice,
    WdfIoTargetOpenByName,
    WdfIoTargetOpenReopen,
};

using EVT_WDF_IO_TARGET_QUERY_REMOVE = NTSTATUS(WDFIOTARGET target);
using PFN_WDF_IO_TARGET_QUERY_REMOVE = EVT_WDF_IO_TARGET_QUERY_REMOVE*;
using EVT_WDF_IO_TARGET_REMOVE_CANCELED = void(WDFIOTARGET target);
using PFN_WDF_IO_TARGET_REMOVE_CANCELED = EVT_WDF_IO_TARGET_REMOVE_CANCELED*;
using EVT_WDF_IO_TARGET_REMOVE_COMPLETE = void(WDFIOTARGET target);
using PFN_WDF_IO_TARGET_REMOVE_COMPLETE = EVT_WDF_IO_TARGET_REMOVE_COMPLETE*;

struct WDF_IO_TARGET_OPEN_PARAMS {
    ULONG Size;
    WDF_IO_TARGET_OPEN_TYPE Type;
    PFN_WDF_IO_TARGET_QUERY_REMOVE EvtIoTargetQueryRemove;
    PFN_WDF_IO_TARGET_REMOVE_CANCELED EvtIoTargetRemoveCanceled;
    PFN_WDF_IO_TARGET_REMOVE_COMPLETE EvtIoTargetRemoveComplete;
    DEVICE_OBJECT* TargetDeviceObject;
    FILE_OBJECT* TargetFileObject;
    UNICODE_STRING TargetDeviceName;
    ACCESS_MASK DesiredAccess;
    ULONG ShareAccess;
    ULONG FileAttributes;
    ULONG CreateDisposition;
    ULONG CreateOptions;
};

inline void WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(WDF_IO_TARGET_OPEN_PARAMS* params, PCUNICODE_STRING name,
                                                        ACCESS_MASK access) {
    std::memset(params, 0, sizeof(*params));
    params->Size = sizeof(*params);
    params->Type = WdfIoTargetOpenByName;
    params->TargetDeviceName = *name;
    params->DesiredAccess = access;
    params->CreateDisposition = 1;   // FILE_OPEN
    params->CreateOptions = 0x40;    // FILE_NON_DIRECTORY_FILE
}

struct INTERFACE;

// A remote target of `device` (the attributes may name another parent); closed until opened.
NTSTATUS WdfIoTargetCreate(WDFDEVICE device, PWDF_OBJECT_ATTRIBUTES attributes, WDFIOTARGET* target);
// Opens the named device (a device-interface link). When that device's node
// is removed, EvtIoTargetQueryRemove (orderly removal; without one the
// target closes itself) and then EvtIoTargetRemoveComplete run at PASSIVE_LEVEL,
// before the removed device's own driver is told. A device whose removal has
// begun is not opened (STATUS_NO_SUCH_DEVICE): an open target always hears
// of its device's removal. PASSIVE_LEVEL.
NTSTATUS WdfIoTargetOpen(WDFIOTARGET target, WDF_IO_TARGET_OPEN_PARAMS* params);
// Sends IRP_MN_QUERY_INTERFACE to the target's stack; STATUS_INVALID_DEVICE_STATE
// when the target is not open. PASSIVE_LEVEL.
NTSTATUS WdfIoTargetQueryForInterface(WDFIOTARGET target, const GUID* interfaceType, INTERFACE* iface, USHORT size,
                                      USHORT version, PVOID interfaceSpecificData);
