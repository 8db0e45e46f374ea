// The library's trace records, through the user-mode logger client: the
// library category bit with a level. Each source file defines
// LOG_FILE_NUMBER (the library's are 1001-1004 and 1042-1045) first; the
// bus template, a header, names its file number and lines itself (bus.h).
#pragma once

#include "source/driver/usb/win/user_common/logger.h"

namespace mrak::vexa {

inline constexpr ULONG kLibInfo = ::vexa::log::kLogPal | ::vexa::log::kLogInfo;      // 0x10100
inline constexpr ULONG kLibError = ::vexa::log::kLogPal | ::vexa::log::kLogError;    // 0x10040
inline constexpr ULONG kLibWarning = ::vexa::log::kLogPal | ::vexa::log::kLogWarning;
inline constexpr ULONG kLibDetail = ::vexa::log::kLogPal | ::vexa::log::kLogDetail;
static_assert(kLibInfo == 0x10100 && kLibError == 0x10040);

}  // namespace mrak::vexa
