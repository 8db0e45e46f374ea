#include "machine_logger.h"

#include "platform/win32/user_process.h"
#include "platform/win32/windows.h"

namespace cpl::test {

namespace {

using vexa::log::LogRecord;
using vexa::log::LogRingHeader;

// The header's address as the logger's kernel clients get it, or as this process maps it.
uint64_t ringHeader(HANDLE logger, uint32_t code) {
    uint32_t tag = vexa::log::kRingTagStandard;
    uint64_t address = 0;
    DWORD bytes = 0;
    if (!DeviceIoControl(logger, code, &tag, sizeof(tag), &address, sizeof(address), &bytes, nullptr)) return 0;
    return address;
}

}  // namespace

MachineLogger::MachineLogger(const std::string& socket) {
    process_ = platform::win32::connect_to_machine(socket, false, "vexa-panel-tests", &error_);
    if (!process_) return;
    platform::win32::ScopedProcess acting(process_);

    HANDLE logger = CreateFileW(u"\\\\.\\MrakDriverLogger", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                0, nullptr);
    if (logger == INVALID_HANDLE_VALUE) {
        error_ = "the machine has no logger";
        return;
    }
    logger_ = logger;
    header_ = reinterpret_cast<LogRingHeader*>(ringHeader(logger, vexa::log::kIoctlLoggerMapRingUser));
    if (header_ == nullptr) {
        error_ = "the logger mapped no ring";
        return;
    }
    // The header holds the record array's address in the logger's own space;
    // its distance from the header there is its distance here too, as the
    // header and the records are one shared section.
    const uint64_t kernelHeader = ringHeader(logger, vexa::log::kIoctlLoggerMapRingKernel);
    const uint64_t recordArray = header_->recordArray;
    if (kernelHeader == 0 || recordArray < kernelHeader + sizeof(LogRingHeader)) {
        error_ = "the ring's records are not beside its header";
        return;
    }
    records_ = reinterpret_cast<const LogRecord*>(reinterpret_cast<uint8_t*>(header_) + (recordArray - kernelHeader));
}

MachineLogger::~MachineLogger() {
    if (!process_) return;
    platform::win32::ScopedProcess acting(process_);
    if (logger_ != nullptr) CloseHandle(static_cast<HANDLE>(logger_));
}

uint32_t MachineLogger::writeCount() const {
    return header_ == nullptr ? 0 : __atomic_load_n(&header_->writeCount, __ATOMIC_ACQUIRE);
}

std::vector<LogRecord> MachineLogger::recordsSince(uint32_t from) const {
    std::vector<LogRecord> out;
    if (records_ == nullptr) return out;
    const uint32_t count = writeCount();
    const uint32_t size = header_->indexMask + 1;
    for (uint32_t n = count - from > size ? count - size : from; n != count; ++n) {
        const LogRecord& slot = records_[n & header_->indexMask];
        LogRecord copy{};
        copy.mask = __atomic_load_n(&slot.mask, __ATOMIC_ACQUIRE);
        if (copy.mask == 0) continue;  // still being written
        copy.id = slot.id;
        copy.time = slot.time;
        copy.value1 = slot.value1;
        copy.value2 = slot.value2;
        copy.value3 = slot.value3;
        copy.value4 = slot.value4;
        out.push_back(copy);
    }
    return out;
}

}  // namespace cpl::test
