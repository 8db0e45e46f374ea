// The I/O manager's objects as drivers see them: driver, device and file
// objects, IRPs with one stack location, synchronous device-control requests,
// kernel handles and object references, and the error log.
#pragma once

#include <atomic>
#include <string>

#include "nt_types.h"
#include "sync.h"
#include "text.h"

namespace platform {
class IrpHandler;
class IrpCompletionSink;
}  // namespace platform

using CSHORT = int16_t;

inline constexpr CSHORT IO_TYPE_DEVICE = 3;
inline constexpr CSHORT IO_TYPE_DRIVER = 4;
inline constexpr CSHORT IO_TYPE_FILE = 5;
inline constexpr CSHORT IO_TYPE_IRP = 6;

inline constexpr UCHAR IRP_MJ_CREATE = 0x00;
inline constexpr UCHAR IRP_MJ_CLOSE = 0x02;
inline constexpr UCHAR IRP_MJ_READ = 0x03;
inline constexpr UCHAR IRP_MJ_WRITE = 0x04;
inline constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
inline constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;
inline constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
inline constexpr UCHAR IRP_MJ_PNP = 0x1B;
inline constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

inline constexpr UCHAR IRP_MN_QUERY_DEVICE_RELATIONS = 0x07;
inline constexpr UCHAR IRP_MN_QUERY_INTERFACE = 0x08;
inline constexpr UCHAR IRP_MN_QUERY_ID = 0x13;

inline constexpr ULONG FILE_DEVICE_BUS_EXTENDER = 0x0000002A;
inline constexpr ULONG FILE_DEVICE_UNKNOWN = 0x00000022;
inline constexpr ULONG METHOD_BUFFERED = 0;
inline constexpr ULONG METHOD_NEITHER = 3;
inline constexpr ULONG FILE_ANY_ACCESS = 0;

constexpr ULONG CTL_CODE(ULONG deviceType, ULONG function, ULONG method, ULONG access) {
    return (deviceType << 16) | (access << 14) | (function << 2) | method;
}

struct DEVICE_OBJECT;
struct FILE_OBJECT;
struct IRP;
struct INTERFACE;

struct DRIVER_OBJECT;
using PDRIVER_ADD_DEVICE = NTSTATUS (*)(DRIVER_OBJECT* driver, DEVICE_OBJECT* physicalDevice);
using PDRIVER_UNLOAD = void (*)(DRIVER_OBJECT* driver);

struct DRIVER_EXTENSION {
    DRIVER_OBJECT* DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;  // called by the PnP manager for each device the driver serves
};

struct DRIVER_OBJECT {
    CSHORT Type;  // IO_TYPE_DRIVER
    CSHORT Size;
    DEVICE_OBJECT* DeviceObject;  // the driver's device objects, linked by NextDevice (IoCreateDevice)
    PVOID DriverSection;          // the loader's record of the image
    DRIVER_EXTENSION* DriverExtension;
    UNICODE_STRING DriverName;
    PDRIVER_UNLOAD DriverUnload;
    // platform: what the framework's entry stub does when DriverEntry fails
    // (deletes what the framework built for the driver); null when nothing to undo.
    PDRIVER_UNLOAD FrameworkEntryFailed;
};
using PDRIVER_OBJECT = DRIVER_OBJECT*;

struct DEVICE_OBJECT {
    CSHORT Type;  // IO_TYPE_DEVICE
    USHORT Size;
    DRIVER_OBJECT* DriverObject;  // null for the machine's own stand-in devices
    DEVICE_OBJECT* NextDevice;      // the driver's next device object
    DEVICE_OBJECT* AttachedDevice;  // the device above this one in its stack
    DEVICE_OBJECT* LowerDevice;     // the device below (platform field)
    ULONG DeviceType;
    ULONG Flags;
    PVOID DeviceExtension;
    platform::IrpHandler* Handler;  // who serves IRPs sent to this object
    volatile LONG ReferenceCount;   // ObReferenceObject/ObDereferenceObject, balanced by every taker (an open file too)
    BOOLEAN DeletePending;          // platform: IoDeleteDevice ran; the memory goes with the last reference
    // platform: the PnP manager has begun removing the device's stack (set
    // once, before anyone hears of the removal): new opens fail.
    volatile BOOLEAN RemovalPending;
};
using PDEVICE_OBJECT = DEVICE_OBJECT*;

// A device object of `driver`, with `extensionBytes` of zeroed extension,
// listed on the driver until IoDeleteDevice. Named device objects are not
// modelled (the framework names none): `name` must be null. PASSIVE_LEVEL.
NTSTATUS IoCreateDevice(DRIVER_OBJECT* driver, ULONG extensionBytes, PUNICODE_STRING name, ULONG deviceType,
                        ULONG characteristics, BOOLEAN exclusive, DEVICE_OBJECT** device);
// Deletes the device: no request reaches its driver any more (but the
// cleanup and close that open files still owe). It stays on its driver's
// list, keeping the driver loaded, until no reference (an open file, say) is
// left; then its memory goes.
void IoDeleteDevice(DEVICE_OBJECT* device);

struct IO_STATUS_BLOCK {
    NTSTATUS Status;
    ULONG_PTR Information;
};

enum DEVICE_RELATION_TYPE : ULONG { BusRelations = 0, EjectionRelations, PowerRelations, RemovalRelations };

struct DEVICE_RELATIONS {
    ULONG Count;
    DEVICE_OBJECT* Objects[1];
};

// IRP_MN_QUERY_ID: the answer is a pool block in IoStatus.Information (the asker frees it with ExFreePool),
// a NUL-terminated string; hardware ids are a list ending in two NULs.
enum BUS_QUERY_ID_TYPE : ULONG { BusQueryDeviceID = 0, BusQueryHardwareIDs = 1, BusQueryInstanceID = 3 };

struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    union {
        // Pointer-aligned as on 64-bit Windows, so that USB internal requests
        // putting their buffer in Argument1/Argument2 keep IoControlCode.
        struct {
            alignas(8) ULONG OutputBufferLength;
            alignas(8) ULONG InputBufferLength;
            alignas(8) ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
        struct {
            DEVICE_RELATION_TYPE Type;
        } QueryDeviceRelations;
        struct {
            BUS_QUERY_ID_TYPE IdType;
        } QueryId;
        struct {
            const GUID* InterfaceType;
            USHORT Size;
            USHORT Version;
            INTERFACE* Interface;
            PVOID InterfaceSpecificData;
        } QueryInterface;
    } Parameters;
    DEVICE_OBJECT* DeviceObject;
    FILE_OBJECT* FileObject;
};

using PDRIVER_CANCEL = void (*)(DEVICE_OBJECT* device, IRP* irp);

struct IRP {
    CSHORT Type;  // IO_TYPE_IRP
    USHORT Size;
    struct {
        PVOID SystemBuffer;  // METHOD_BUFFERED: one buffer for input and output
    } AssociatedIrp;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    volatile BOOLEAN Cancel;  // set once by IoCancelIrp; read with acquire order
    PVOID UserBuffer;         // where the output goes back to
    KEVENT* UserEvent;        // signalled at completion
    IO_STATUS_BLOCK* UserIosb;  // receives the final status at completion
    IO_STACK_LOCATION Stack;  // the one stack location this layer models
    ULONG OwnedBufferBytes;   // platform: size of a SystemBuffer the I/O manager allocated
    PDRIVER_CANCEL CancelRoutine;  // exchanged atomically (IoSetCancelRoutine, IoCancelIrp)
    KIRQL CancelIrql;              // the level to return to when releasing the cancel spin lock
    PVOID DriverContext[4];        // the current owner's (the framework keeps its request here)
    ULONG RequestorProcessId;      // platform: the process that sent it (4 = the system)
    BOOLEAN RequestorIs32Bit;
    // platform: a user request's completion goes to the I/O manager, which
    // copies the output to the caller and frees the IRP itself.
    platform::IrpCompletionSink* CompletionSink;
};
using PIRP = IRP*;

static_assert(offsetof(IO_STACK_LOCATION, Parameters) == 8);

inline IO_STACK_LOCATION* IoGetNextIrpStackLocation(IRP* irp) { return &irp->Stack; }

// A synchronous device-control request; completing it copies the output back
// (METHOD_BUFFERED), stores the status block, signals the event and frees the IRP.
IRP* IoBuildDeviceIoControlRequest(ULONG ioControlCode, DEVICE_OBJECT* device, PVOID inputBuffer,
                                   ULONG inputLength, PVOID outputBuffer, ULONG outputLength,
                                   BOOLEAN internalDeviceIoControl, KEVENT* event, IO_STATUS_BLOCK* ioStatus);
// A synchronous request of another major function with no buffers (PnP queries).
IRP* IoBuildSynchronousFsdRequest(ULONG majorFunction, DEVICE_OBJECT* device, PVOID buffer, ULONG length,
                                  LARGE_INTEGER* startingOffset, KEVENT* event, IO_STATUS_BLOCK* ioStatus);
NTSTATUS IoCallDriver(DEVICE_OBJECT* device, IRP* irp);
void IoCompleteRequest(IRP* irp, CHAR priorityBoost);
inline constexpr CHAR IO_NO_INCREMENT = 0;

// ---- cancellation -----------------------------------------------------------

// Installs (or clears, with null) the routine IoCancelIrp calls; returns the previous one.
PDRIVER_CANCEL IoSetCancelRoutine(IRP* irp, PDRIVER_CANCEL routine);
// Marks the IRP cancelled and calls its cancel routine, if one is set, with
// the cancel spin lock held (the routine releases it). TRUE when a routine ran.
BOOLEAN IoCancelIrp(IRP* irp);
void IoAcquireCancelSpinLock(KIRQL* irql);
void IoReleaseCancelSpinLock(KIRQL irql);

// ---- processes --------------------------------------------------------------

// Whether the IRP was sent by a 32-bit process.
BOOLEAN IoIs32bitProcess(IRP* irp);

// ---- file objects, handles and references -------------------------------

struct FILE_OBJECT {
    CSHORT Type;  // IO_TYPE_FILE
    CSHORT Size;
    DEVICE_OBJECT* DeviceObject;
    UNICODE_STRING FileName;  // the part of the opened path below the device
    PVOID FsContext;
    PVOID FsContext2;
    // platform: lifetime
    std::atomic<LONG> PointerCount;
    std::atomic<LONG> HandleCount;
    std::u16string NameStorage;
    ULONG ProcessId;     // the process that opened it (4 = the system)
    BOOLEAN Is32BitProcess;
    PVOID Platform;      // the framework's file object, when a KMDF device was opened
};
using PFILE_OBJECT = FILE_OBJECT*;

struct OBJECT_TYPE;
using POBJECT_TYPE = OBJECT_TYPE*;
extern POBJECT_TYPE* IoFileObjectType;
extern POBJECT_TYPE* ExEventObjectType;

struct OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
};
inline constexpr ULONG OBJ_CASE_INSENSITIVE = 0x40;
inline constexpr ULONG OBJ_KERNEL_HANDLE = 0x200;

inline void InitializeObjectAttributes(OBJECT_ATTRIBUTES* attributes, PUNICODE_STRING name, ULONG flags,
                                       HANDLE root, PVOID security) {
    *attributes = OBJECT_ATTRIBUTES{sizeof(OBJECT_ATTRIBUTES), root, name, flags, security, nullptr};
}

inline constexpr ULONG FILE_SHARE_READ = 1;
inline constexpr ULONG FILE_SHARE_WRITE = 2;
inline constexpr ULONG FILE_OPEN = 1;
inline constexpr ULONG FILE_NON_DIRECTORY_FILE = 0x40;
inline constexpr ACCESS_MASK SYNCHRONIZE = 0x00100000;
inline constexpr ACCESS_MASK STANDARD_RIGHTS_ALL = 0x1F0000;
inline constexpr ACCESS_MASK FILE_ALL_ACCESS = 0x1F01FF;

// Opens `\Device\Name` or a symbolic link (`\??\...`), sending IRP_MJ_CREATE
// to the device with the rest of the path as the file name.
NTSTATUS ZwCreateFile(HANDLE* handle, ACCESS_MASK access, OBJECT_ATTRIBUTES* attributes, IO_STATUS_BLOCK* ioStatus,
                      LARGE_INTEGER* allocationSize, ULONG fileAttributes, ULONG shareAccess,
                      ULONG createDisposition, ULONG createOptions, PVOID eaBuffer, ULONG eaLength);
NTSTATUS ZwClose(HANDLE handle);
NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK access, POBJECT_TYPE type, KPROCESSOR_MODE mode,
                                   PVOID* object, PVOID handleInformation);
void ObReferenceObject(PVOID object);
void ObDereferenceObject(PVOID object);
DEVICE_OBJECT* IoGetRelatedDeviceObject(FILE_OBJECT* file);

enum DEVICE_REGISTRY_PROPERTY : ULONG {
    DevicePropertyDeviceDescription = 0,
    DevicePropertyHardwareID = 1,
    DevicePropertyLocationInformation = 0xA,
};
// A property of a PDO; with a buffer too small, STATUS_BUFFER_TOO_SMALL and the size needed.
NTSTATUS IoGetDeviceProperty(DEVICE_OBJECT* pdo, DEVICE_REGISTRY_PROPERTY property, ULONG bufferLength,
                             PVOID buffer, ULONG* resultLength);
NTSTATUS IoGetDeviceObjectPointer(PUNICODE_STRING name, ACCESS_MASK access, FILE_OBJECT** file,
                                  DEVICE_OBJECT** device);

// ---- error log --------------------------------------------------------------

struct IO_ERROR_LOG_PACKET {
    UCHAR MajorFunctionCode;
    UCHAR RetryCount;
    USHORT DumpDataSize;
    USHORT NumberOfStrings;
    USHORT StringOffset;
    USHORT EventCategory;
    NTSTATUS ErrorCode;
    ULONG UniqueErrorValue;
    NTSTATUS FinalStatus;
    ULONG SequenceNumber;
    ULONG IoControlCode;
    LARGE_INTEGER DeviceOffset;
    ULONG DumpData[1];
};
static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48);
inline constexpr ULONG ERROR_LOG_MAXIMUM_SIZE = 240;

// Null when the system has no entry to hand out. `ioObject` is a driver or device object.
PVOID IoAllocateErrorLogEntry(PVOID ioObject, UCHAR entrySize);
void IoWriteErrorLogEntry(PVOID entry);

// ---- version ------------------------------------------------------------------

struct RTL_OSVERSIONINFOW {
    ULONG dwOSVersionInfoSize;
    ULONG dwMajorVersion;
    ULONG dwMinorVersion;
    ULONG dwBuildNumber;
    ULONG dwPlatformId;
    WCHAR szCSDVersion[128];
};
NTSTATUS RtlGetVersion(RTL_OSVERSIONINFOW* info);

namespace platform {

// Serves the IRPs sent to a device object. Stand-in devices of the machine
// and the framework's devices implement it.
class IrpHandler {
public:
    virtual ~IrpHandler() = default;
    virtual NTSTATUS dispatch_irp(DEVICE_OBJECT* device, IRP* irp) = 0;
    // Properties of a PDO (hardware ids as a double-NUL-terminated list); empty when none.
    virtual std::u16string device_property(DEVICE_OBJECT*, DEVICE_REGISTRY_PROPERTY) { return {}; }
    // Kept alive for one dispatch: false when the handler is on its way out
    // (called with the handler lock held, so it must not block). A handler
    // that may go before its device object unpins in unpin().
    virtual bool pin() { return true; }
    virtual void unpin() {}
};

// A device object's handler goes before the object does: it is taken off
// here, after which no new dispatch reaches it (one pinned already finishes).
void clear_irp_handler(DEVICE_OBJECT* device);

// Takes over a completed IRP: reads its status, information and buffer, and
// frees it with free_irp once nobody holds it any more.
class IrpCompletionSink {
public:
    virtual ~IrpCompletionSink() = default;
    virtual void irp_completed(IRP* irp) = 0;
};

IRP* allocate_irp();
void free_irp(IRP* irp);

// Creates and frees the file objects the I/O manager hands out.
FILE_OBJECT* create_file_object(DEVICE_OBJECT* device, std::u16string_view name, ULONG processId,
                                bool is32Bit);
// Sends IRP_MJ_CREATE for a new file object; on failure the object is freed.
NTSTATUS open_file(FILE_OBJECT* file);
// Drops one handle: the last one sends IRP_MJ_CLEANUP.
void release_file_handle(FILE_OBJECT* file);
// The reference counts behind ObReferenceObject and ObDereferenceObject: the
// last reference to a file sends IRP_MJ_CLOSE and frees it; that to a deleted
// device object frees the device object.
void dereference_file(FILE_OBJECT* file);
void reference_device(DEVICE_OBJECT* device);
void dereference_device(DEVICE_OBJECT* device);
// The device at the top of `device`'s stack, referenced.
DEVICE_OBJECT* reference_top_of_stack(DEVICE_OBJECT* device);
// Puts `device` on top of `lower` in its stack, and takes it off again (the
// framework does, for its function devices), under the lock the walk above takes.
void attach_device(DEVICE_OBJECT* device, DEVICE_OBJECT* lower);
void detach_device(DEVICE_OBJECT* device, DEVICE_OBJECT* lower);

// The PnP manager marks a stack (the PDO and every device above it) whose
// removal has begun; an open of any device in such a stack fails.
void mark_removal_pending(DEVICE_OBJECT* pdo);
bool removal_pending(const DEVICE_OBJECT* device);

}  // namespace platform
