// Device objects: created on a driver's list, deleted, and kept on the list
// (and in memory) while anyone holds a reference, as an open file does; and
// the properties a PDO answers.
#include <mutex>
#include <new>

#include "fault.h"
#include "io.h"
#include "kernel.h"
#include "ntstatus.h"
#include "rules.h"

namespace {

// Guards every driver's device list and the deletion of device objects, so
// the last reference and IoDeleteDevice cannot both free the memory.
std::mutex g_deviceLock;

// Caller holds g_deviceLock. Takes a deleted device off its driver's list and
// frees it; the driver when that was its last device, else null.
DRIVER_OBJECT* FreeDevice(DEVICE_OBJECT* device) {
    DRIVER_OBJECT* driver = device->DriverObject;
    if (driver != nullptr) {
        DEVICE_OBJECT** link = &driver->DeviceObject;
        while (*link != nullptr && *link != device) link = &(*link)->NextDevice;
        if (*link == device) __atomic_store_n(link, device->NextDevice, __ATOMIC_RELEASE);
    }
    device->~DEVICE_OBJECT();
    ::operator delete(device);
    return driver != nullptr && driver->DeviceObject == nullptr ? driver : nullptr;
}

void TellDriverWithoutDevices(DRIVER_OBJECT* driver) {
    if (driver != nullptr && platform::Kernel::exists()) platform::Kernel::current().host().driver_without_devices(driver);
}

}  // namespace

NTSTATUS IoCreateDevice(DRIVER_OBJECT* driver, ULONG extensionBytes, PUNICODE_STRING name, ULONG deviceType,
                        ULONG, BOOLEAN, DEVICE_OBJECT** device) {
    platform::require_passive("IoCreateDevice");
    if (driver == nullptr || device == nullptr || name != nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("IoCreateDevice")) return *status;
    // The extension follows the object, 16-byte aligned as pool memory is.
    size_t objectBytes = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
    void* memory = ::operator new(objectBytes + extensionBytes, std::nothrow);
    if (memory == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(memory, 0, objectBytes + extensionBytes);
    auto* created = new (memory) DEVICE_OBJECT{};
    created->Type = IO_TYPE_DEVICE;
    created->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionBytes);
    created->DriverObject = driver;
    created->DeviceType = deviceType;
    created->DeviceExtension = extensionBytes != 0 ? static_cast<uint8_t*>(memory) + objectBytes : nullptr;
    {
        std::lock_guard lock(g_deviceLock);
        created->NextDevice = driver->DeviceObject;
        __atomic_store_n(&driver->DeviceObject, created, __ATOMIC_RELEASE);
    }
    *device = created;
    return STATUS_SUCCESS;
}

void IoDeleteDevice(DEVICE_OBJECT* device) {
    platform::require_passive("IoDeleteDevice");
    DRIVER_OBJECT* idle = nullptr;
    {
        std::lock_guard lock(g_deviceLock);
        if (device->DeletePending) {
            platform::rule_violation("object", "IoDeleteDevice of a device object deleted already");
            return;
        }
        __atomic_store_n(&device->DeletePending, TRUE, __ATOMIC_RELEASE);
        // Referenced (by an open file, say): it stays listed, and its driver loaded, until the last reference.
        if (device->ReferenceCount == 0) idle = FreeDevice(device);
    }
    TellDriverWithoutDevices(idle);
}

namespace platform {

void reference_device(DEVICE_OBJECT* device) { InterlockedIncrement(&device->ReferenceCount); }

void attach_device(DEVICE_OBJECT* device, DEVICE_OBJECT* lower) {
    std::lock_guard lock(g_deviceLock);
    device->LowerDevice = lower;
    lower->AttachedDevice = device;
}

void detach_device(DEVICE_OBJECT* device, DEVICE_OBJECT* lower) {
    std::lock_guard lock(g_deviceLock);
    if (lower->AttachedDevice == device) lower->AttachedDevice = nullptr;
}

// Walks and references under the lock that frees device objects: a device
// detaching from the stack on another thread is either seen and held, or not seen.
DEVICE_OBJECT* reference_top_of_stack(DEVICE_OBJECT* device) {
    std::lock_guard lock(g_deviceLock);
    while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
    InterlockedIncrement(&device->ReferenceCount);
    return device;
}

void dereference_device(DEVICE_OBJECT* device) {
    DRIVER_OBJECT* idle = nullptr;
    {
        std::lock_guard lock(g_deviceLock);
        LONG left = InterlockedDecrement(&device->ReferenceCount);
        if (left < 0) rule_violation("object", "device object dereferenced more often than referenced");
        if (left == 0 && device->DeletePending) idle = FreeDevice(device);
    }
    TellDriverWithoutDevices(idle);
}

void mark_removal_pending(DEVICE_OBJECT* pdo) {
    std::lock_guard lock(g_deviceLock);
    for (DEVICE_OBJECT* d = pdo; d != nullptr; d = d->AttachedDevice) {
        __atomic_store_n(&d->RemovalPending, TRUE, __ATOMIC_RELEASE);
    }
}

bool removal_pending(const DEVICE_OBJECT* device) {
    for (const DEVICE_OBJECT* d = device; d != nullptr; d = d->LowerDevice) {
        if (__atomic_load_n(&d->RemovalPending, __ATOMIC_ACQUIRE) || __atomic_load_n(&d->DeletePending, __ATOMIC_ACQUIRE)) {
            return true;
        }
    }
    return false;
}

}  // namespace platform

NTSTATUS IoGetDeviceProperty(DEVICE_OBJECT* pdo, DEVICE_REGISTRY_PROPERTY property, ULONG bufferLength,
                             PVOID buffer, ULONG* resultLength) {
    platform::require_passive("IoGetDeviceProperty");
    if (pdo == nullptr || resultLength == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("IoGetDeviceProperty")) return *status;
    std::u16string value = pdo->Handler != nullptr ? pdo->Handler->device_property(pdo, property) : std::u16string();
    if (value.empty()) return STATUS_INVALID_PARAMETER;
    auto bytes = static_cast<ULONG>(value.size() * sizeof(WCHAR));
    *resultLength = bytes;
    if (buffer == nullptr || bufferLength < bytes) return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(buffer, value.data(), bytes);
    return STATUS_SUCCESS;
}
