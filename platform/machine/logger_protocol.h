// The protocol of the outside logger driver (\Device\MrakDriverLogger): its
// requests, the shared ring header and the record. It is the logger's own
// header, kept beside its stand-in; the system's logger clients include it as
// they would an outside driver's SDK header. Every offset here is fixed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vexa::log {

inline constexpr const char16_t* kLoggerDeviceName = u"\\Device\\MrakDriverLogger";
inline constexpr uint32_t kLoggerVersion = 0x3007;

// CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + n, METHOD_BUFFERED, FILE_ANY_ACCESS)
inline constexpr uint32_t kIoctlLoggerVersion = 0x222000;
inline constexpr uint32_t kIoctlLoggerMapRingKernel = 0x222004;
inline constexpr uint32_t kIoctlLoggerMapRingUser = 0x222008;
inline constexpr uint32_t kIoctlLoggerWrite = 0x22202C;

inline constexpr uint32_t kIoctlFunctionBase = 0x800;
constexpr uint32_t LoggerIoctlCode(uint32_t index) { return 0x222000 + 4 * index; }

// Ring tags, as the four bytes 'S','T','N','D' read as a little-endian u32.
inline constexpr uint32_t kRingTagStandard = 0x444E5453;  // "STND"
inline constexpr uint32_t kRingTagRealtime = 0x4C414552;  // "REAL"

inline constexpr int32_t kLoggerTriggerCount = 50;

// Mask bits: one level bit, usually with one category bit.
inline constexpr uint32_t kLogStream = 0x20;
inline constexpr uint32_t kLogError = 0x40;
inline constexpr uint32_t kLogWarning = 0x80;
inline constexpr uint32_t kLogInfo = 0x100;
inline constexpr uint32_t kLogDetail = 0x200;
inline constexpr uint32_t kLogDescriptor = 0x400;
inline constexpr uint32_t kLogInterface = 0x800;
inline constexpr uint32_t kLogAsio = 0x1000;
inline constexpr uint32_t kLogWdm = 0x2000;
inline constexpr uint32_t kLogMidi = 0x4000;
inline constexpr uint32_t kLogRequest = 0x8000;
inline constexpr uint32_t kLogPal = 0x10000;

struct LogRecord {
    uint32_t id;     // (source file number << 13) | line
    uint32_t mask;   // 0 while the record is being written; stored last
    uint64_t time;   // interrupt time, 100 ns units
    uint64_t value1;
    uint64_t value2;
    uint64_t value3;
    uint64_t value4;
};
static_assert(sizeof(LogRecord) == 48);

// The part of a ring header the clients touch. The first 64 bytes are the
// logger's own.
struct LogRingHeader {
    uint8_t loggerPrivate[64];
    uint64_t recordArray;        // address of the ring's LogRecord array
    uint32_t loggerPrivate2;
    uint32_t indexMask;          // records in the ring minus one (power of two)
    uint32_t writeCount;         // records reserved so far
    uint32_t enableMask;         // a record of mask m is written when (enableMask & m) == m
    uint32_t triggerMask;        // a write sharing a bit with it starts the trigger countdown
    int32_t triggerCountdown;    // writes left until all logging freezes
};
static_assert(offsetof(LogRingHeader, recordArray) == 64);
static_assert(offsetof(LogRingHeader, indexMask) == 76);
static_assert(offsetof(LogRingHeader, writeCount) == 80);
static_assert(offsetof(LogRingHeader, enableMask) == 84);
static_assert(offsetof(LogRingHeader, triggerMask) == 88);
static_assert(offsetof(LogRingHeader, triggerCountdown) == 92);
static_assert(sizeof(LogRingHeader) == 96);

struct LoggerVersionInfo {
    uint32_t version;
    uint32_t reserved[3];
};
static_assert(sizeof(LoggerVersionInfo) == 16);

// kIoctlLoggerWrite input: the ring tag and one record (time left unset).
struct LogWriteRequest {
    uint32_t tag;
    uint32_t reserved;
    LogRecord record;
};
static_assert(sizeof(LogWriteRequest) == 56);

constexpr uint32_t TracePointId(uint32_t fileNumber, uint32_t line) { return (fileNumber << 13) | (line & 0x1FFF); }

}  // namespace vexa::log
