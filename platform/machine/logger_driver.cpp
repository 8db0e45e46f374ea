#include "logger_driver.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "machine.h"
#include "platform/kernel/object_namespace.h"
#include "process.h"
#include "platform/kernel/ntstatus.h"

namespace platform {
namespace {

constexpr size_t kHeaderBytes = 128;  // the header, padded so the records start aligned
// User mode opens the logger as "\\.\MrakDriverLogger".
constexpr const char16_t* kLoggerLinkName = u"\\??\\MrakDriverLogger";

}  // namespace

LoggerDriver::LoggerDriver(LoggerConfig config) : config_(config) {
    device_.Type = IO_TYPE_DEVICE;
    device_.Size = sizeof(DEVICE_OBJECT);
    device_.DeviceType = FILE_DEVICE_UNKNOWN;
    device_.Handler = this;
    configure(config);
}

LoggerDriver::~LoggerDriver() {
    if (registered_ && Machine::exists()) {
        Machine::current().names().remove_link(kLoggerLinkName);
        Machine::current().names().remove_device(vexa::log::kLoggerDeviceName);
    }
    destroy_rings();
    for (Ring& r : retired_) {
        munmap(r.base, r.bytes);
        close(r.fd);
    }
}

size_t LoggerDriver::ring_bytes() const { return kHeaderBytes + sizeof(vexa::log::LogRecord) * config_.records; }

void LoggerDriver::configure(LoggerConfig config) {
    std::lock_guard lock(lock_);
    if (standard_.base != nullptr) {
        retired_.push_back(standard_);
        retired_.push_back(realtime_);
        standard_ = Ring{};
        realtime_ = Ring{};
    }
    config_ = config;
    if (config_.present) {
        create_rings();
        if (!registered_) {
            Machine::current().names().add_device(vexa::log::kLoggerDeviceName, &device_);
            Machine::current().names().add_link(kLoggerLinkName, vexa::log::kLoggerDeviceName);
        }
        registered_ = true;
    } else if (registered_) {
        Machine::current().names().remove_link(kLoggerLinkName);
        Machine::current().names().remove_device(vexa::log::kLoggerDeviceName);
        registered_ = false;
    }
}

void LoggerDriver::create_rings() {
    for (Ring* r : {&standard_, &realtime_}) {
        r->fd = memfd_create("vexa-logger-ring", MFD_CLOEXEC);
        if (r->fd < 0 || ftruncate(r->fd, static_cast<off_t>(ring_bytes())) != 0) continue;
        r->base = mmap(nullptr, ring_bytes(), PROT_READ | PROT_WRITE, MAP_SHARED, r->fd, 0);
        if (r->base == MAP_FAILED) {
            r->base = nullptr;
            continue;
        }
        r->bytes = ring_bytes();
        std::memset(r->base, 0, ring_bytes());
        r->header = static_cast<vexa::log::LogRingHeader*>(r->base);
        r->records = reinterpret_cast<vexa::log::LogRecord*>(static_cast<uint8_t*>(r->base) + kHeaderBytes);
        std::memcpy(r->header->loggerPrivate, "MRAKRING", 8);
        r->header->recordArray = reinterpret_cast<uint64_t>(r->records);
        r->header->loggerPrivate2 = sizeof(vexa::log::LogRecord);
        r->header->indexMask = config_.records - 1;
        r->header->enableMask = config_.enableMask;
    }
}

void LoggerDriver::destroy_rings() {
    for (Ring* r : {&standard_, &realtime_}) {
        if (r->base != nullptr) munmap(r->base, r->bytes);
        if (r->fd >= 0) close(r->fd);
        *r = Ring{};
    }
}

LoggerDriver::Ring* LoggerDriver::ring(uint32_t tag) {
    if (tag == vexa::log::kRingTagStandard) return &standard_;
    if (tag == vexa::log::kRingTagRealtime) return &realtime_;
    return nullptr;
}

vexa::log::LogRingHeader* LoggerDriver::header(uint32_t tag) {
    std::lock_guard lock(lock_);
    Ring* r = ring(tag);
    return r == nullptr ? nullptr : r->header;
}

int LoggerDriver::ring_fd(uint32_t tag) {
    std::lock_guard lock(lock_);
    Ring* r = ring(tag);
    return r == nullptr ? -1 : r->fd;
}

std::vector<vexa::log::LogRecord> LoggerDriver::records(uint32_t tag) {
    std::lock_guard lock(lock_);
    std::vector<vexa::log::LogRecord> out;
    Ring* r = ring(tag);
    if (r == nullptr || r->header == nullptr) return out;
    uint32_t count = __atomic_load_n(&r->header->writeCount, __ATOMIC_ACQUIRE);
    uint32_t size = r->header->indexMask + 1;
    uint32_t first = count > size ? count - size : 0;
    for (uint32_t n = first; n < count; ++n) {
        vexa::log::LogRecord copy;
        if (read_whole(*r, n, size, &copy)) out.push_back(copy);
    }
    return out;
}

// Writers lap the ring while it is read: a record is taken only when it is
// whole. Every word is read atomically with acquire order (each word a
// writer stores with release order carries its cleared mask with it), twice
// around a second read of the mask; the record counts when the mask is set
// and the same both times, both copies agree, and no writer has since
// reserved the slot for a later record.
bool LoggerDriver::read_whole(const Ring& r, uint32_t n, uint32_t size, vexa::log::LogRecord* out) {
    const vexa::log::LogRecord& slot = r.records[n & r.header->indexMask];
    auto words = [&](vexa::log::LogRecord* copy) {
        copy->id = __atomic_load_n(&slot.id, __ATOMIC_ACQUIRE);
        copy->time = __atomic_load_n(&slot.time, __ATOMIC_ACQUIRE);
        copy->value1 = __atomic_load_n(&slot.value1, __ATOMIC_ACQUIRE);
        copy->value2 = __atomic_load_n(&slot.value2, __ATOMIC_ACQUIRE);
        copy->value3 = __atomic_load_n(&slot.value3, __ATOMIC_ACQUIRE);
        copy->value4 = __atomic_load_n(&slot.value4, __ATOMIC_ACQUIRE);
    };
    vexa::log::LogRecord first{};
    vexa::log::LogRecord second{};
    first.mask = __atomic_load_n(&slot.mask, __ATOMIC_ACQUIRE);
    if (first.mask == 0) return false;  // being written
    words(&first);
    second.mask = __atomic_load_n(&slot.mask, __ATOMIC_ACQUIRE);
    words(&second);
    uint32_t reserved = __atomic_load_n(&r.header->writeCount, __ATOMIC_ACQUIRE);
    bool lapped = reserved - n > size;  // the writer of record n + size has begun
    if (second.mask != first.mask || std::memcmp(&first, &second, sizeof(first)) != 0 || lapped) return false;
    *out = second;
    return true;
}

void LoggerDriver::append(Ring& r, const vexa::log::LogRecord& record) {
    uint32_t n = __atomic_add_fetch(&r.header->writeCount, 1, __ATOMIC_SEQ_CST);
    vexa::log::LogRecord& slot = r.records[(n - 1) & r.header->indexMask];
    // As the kernel client writes: mask cleared, each word whole with release order, mask last.
    __atomic_store_n(&slot.mask, 0, __ATOMIC_RELAXED);
    __atomic_store_n(&slot.id, record.id, __ATOMIC_RELEASE);
    __atomic_store_n(&slot.time, Machine::current().clock().now(), __ATOMIC_RELEASE);
    __atomic_store_n(&slot.value1, record.value1, __ATOMIC_RELEASE);
    __atomic_store_n(&slot.value2, record.value2, __ATOMIC_RELEASE);
    __atomic_store_n(&slot.value3, record.value3, __ATOMIC_RELEASE);
    __atomic_store_n(&slot.value4, record.value4, __ATOMIC_RELEASE);
    __atomic_store_n(&slot.mask, record.mask, __ATOMIC_RELEASE);
}

NTSTATUS LoggerDriver::map_user(IRP* irp, ULONG_PTR* information) {
    auto& params = irp->Stack.Parameters.DeviceIoControl;
    auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
    if (params.InputBufferLength < 4 || params.OutputBufferLength < 8) return STATUS_BUFFER_TOO_SMALL;
    uint32_t tag = 0;
    std::memcpy(&tag, buffer, 4);
    int fd = -1;
    uint64_t address = 0;
    bool zero = false;
    {
        std::lock_guard lock(lock_);
        zero = config_.zeroRingAddress;
        Ring* r = ring(tag);
        if (r == nullptr || r->header == nullptr) return STATUS_INVALID_PARAMETER;
        fd = r->fd;
        address = reinterpret_cast<uint64_t>(r->header);
    }
    // A user process gets its own mapping of the ring (in another program,
    // through the machine's socket), made once: every later request of that
    // process answers the same address, as the logger maps a section once per process.
    if (Process* process = current_process(); process != nullptr && irp->RequestorMode == UserMode) {
        std::lock_guard lock(mapLock_);
        auto key = std::make_pair(process->id(), fd);
        uint64_t known = 0;
        {
            std::lock_guard guard(lock_);
            if (auto it = userMappings_.find(key); it != userMappings_.end()) known = it->second;
        }
        if (known == 0) {
            void* mapped = process->map_shared(fd, ring_bytes());
            if (mapped == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
            known = reinterpret_cast<uint64_t>(mapped);
            std::lock_guard guard(lock_);
            userMappings_[key] = known;
        }
        address = known;
    }
    if (zero) address = 0;
    std::memcpy(buffer, &address, 8);
    *information = 8;
    return STATUS_SUCCESS;
}

size_t LoggerDriver::opens() {
    std::lock_guard lock(lock_);
    return opens_;
}

std::optional<vexa::log::LogWriteRequest> LoggerDriver::last_write() {
    std::lock_guard lock(lock_);
    return lastWrite_;
}

size_t LoggerDriver::user_mappings() {
    std::lock_guard lock(lock_);
    return userMappings_.size();
}

NTSTATUS LoggerDriver::dispatch_irp(DEVICE_OBJECT*, IRP* irp) {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    UCHAR major = irp->Stack.MajorFunction;
    if (major == IRP_MJ_CREATE) {
        std::lock_guard lock(lock_);
        ++opens_;
    }
    if (major == IRP_MJ_DEVICE_CONTROL && irp->Stack.Parameters.DeviceIoControl.IoControlCode ==
                                              vexa::log::kIoctlLoggerMapRingUser) {
        status = map_user(irp, &information);
    } else if (major == IRP_MJ_DEVICE_CONTROL || major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        auto& params = irp->Stack.Parameters.DeviceIoControl;
        auto* buffer = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
        std::lock_guard lock(lock_);
        switch (params.IoControlCode) {
            case vexa::log::kIoctlLoggerVersion: {
                if (params.OutputBufferLength < sizeof(vexa::log::LoggerVersionInfo)) {
                    status = STATUS_BUFFER_TOO_SMALL;
                    break;
                }
                vexa::log::LoggerVersionInfo info{config_.version, {0, 0, 0}};
                std::memcpy(buffer, &info, sizeof(info));
                information = sizeof(info);
                break;
            }
            case vexa::log::kIoctlLoggerMapRingKernel:
            case vexa::log::kIoctlLoggerMapRingUser: {
                // Kernel callers share the machine's address space.
                uint32_t tag = 0;
                if (params.InputBufferLength < 4 || params.OutputBufferLength < 8) {
                    status = STATUS_BUFFER_TOO_SMALL;
                    break;
                }
                std::memcpy(&tag, buffer, 4);
                Ring* r = ring(tag);
                if (r == nullptr || r->header == nullptr) {
                    status = STATUS_INVALID_PARAMETER;
                    break;
                }
                uint64_t address = reinterpret_cast<uint64_t>(r->header);
                std::memcpy(buffer, &address, 8);
                information = 8;
                break;
            }
            case vexa::log::kIoctlLoggerWrite: {
                vexa::log::LogWriteRequest request;
                if (params.InputBufferLength != sizeof(request)) {
                    status = STATUS_INVALID_PARAMETER;
                    break;
                }
                std::memcpy(&request, buffer, sizeof(request));
                lastWrite_ = request;
                Ring* r = ring(request.tag);
                if (r == nullptr || r->header == nullptr) {
                    status = STATUS_INVALID_PARAMETER;
                    break;
                }
                append(*r, request.record);
                information = params.OutputBufferLength >= 4 ? 4 : 0;
                break;
            }
            default:
                status = STATUS_INVALID_DEVICE_REQUEST;
                break;
        }
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace platform
