// The library's trace records, through the user-mode logger client: the
// library category bit with a level. Each source file defines
// LOG_FILE_NUMBER (the library's are 1001-1004, 1042 and 1043) first.
// TRACE writes the calling line; TRACE_AT a line the caller names, where a
// trace point's id is part of the library's published record.
#pragma once

#include "source/driver/usb/win/user_common/logger.h"

namespace mrak::vexa {

inline constexpr ULONG kLibInfo = ::vexa::log::kLogPal | ::vexa::log::kLogInfo;      // 0x10100
inline constexpr ULONG kLibError = ::vexa::log::kLogPal | ::vexa::log::kLogError;    // 0x10040
inline constexpr ULONG kLibWarning = ::vexa::log::kLogPal | ::vexa::log::kLogWarning;
inline constexpr ULONG kLibDetail = ::vexa::log::kLogPal | ::vexa::log::kLogDetail;
static_assert(kLibInfo == 0x10100 && kLibError == 0x10040);

}  // namespace mrak::vexa

#define TRACE_AT(line, mask, ...) ::vexa::user_log::Trace<false>(LOG_FILE_NUMBER, (line), (mask), ##__VA_ARGS__)
