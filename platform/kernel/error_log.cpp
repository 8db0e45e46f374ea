// The error log as drivers write it: an entry is handed out, filled and
// written; the machine's event log takes it through the kernel's host.
#include "fault.h"
#include "io.h"
#include "kernel.h"
#include "rules.h"

namespace {

// The error-log entry as handed out: the packet follows the writing driver.
struct ErrorLogAllocation {
    DRIVER_OBJECT* source;
    UCHAR size;
    alignas(8) uint8_t packet[ERROR_LOG_MAXIMUM_SIZE];
};

}  // namespace

PVOID IoAllocateErrorLogEntry(PVOID ioObject, UCHAR entrySize) {
    platform::require_dispatch_or_below("IoAllocateErrorLogEntry");
    if (ioObject == nullptr || entrySize < sizeof(IO_ERROR_LOG_PACKET) || entrySize > ERROR_LOG_MAXIMUM_SIZE) {
        return nullptr;
    }
    if (platform::fault::hit("IoAllocateErrorLogEntry")) return nullptr;
    CSHORT type = *static_cast<const CSHORT*>(ioObject);
    DRIVER_OBJECT* source = nullptr;
    if (type == IO_TYPE_DRIVER) {
        source = static_cast<DRIVER_OBJECT*>(ioObject);
    } else if (type == IO_TYPE_DEVICE) {
        source = static_cast<DEVICE_OBJECT*>(ioObject)->DriverObject;
    } else {
        platform::rule_violation("error log", "IoAllocateErrorLogEntry needs a driver or device object");
        return nullptr;
    }
    auto* allocation = new ErrorLogAllocation{};
    allocation->source = source;
    allocation->size = entrySize;
    return allocation->packet;
}

void IoWriteErrorLogEntry(PVOID entry) {
    platform::require_dispatch_or_below("IoWriteErrorLogEntry");
    auto* allocation = reinterpret_cast<ErrorLogAllocation*>(static_cast<uint8_t*>(entry) -
                                                             offsetof(ErrorLogAllocation, packet));
    IO_ERROR_LOG_PACKET packet;
    std::memcpy(&packet, allocation->packet, sizeof(packet));
    platform::Kernel& kernel = platform::Kernel::current();
    kernel.host().write_error_log(allocation->source, packet, kernel.clock().now());
    delete allocation;
}
