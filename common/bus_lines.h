// Where bus_impl's exceptions say they were raised: its source file's name
// and the line of each throw site, as applications and support tools know them.
#pragma once

#include <cstdint>

namespace mrak::vexa::bus_lines {

inline constexpr const char* kFile = "mrak_vexa_pal_bus_usb_win";

inline constexpr uint32_t kCreateEvent = 99;
inline constexpr uint32_t kOpenTimeout = 138;
inline constexpr uint32_t kOpenAccess = 148;
inline constexpr uint32_t kOpenVersionRequest = 191;
inline constexpr uint32_t kOpenVersionRefused = 200;
inline constexpr uint32_t kOpenThread = 209;
inline constexpr uint32_t kDcpNullData = 271;
inline constexpr uint32_t kDcpNullResponse = 272;
inline constexpr uint32_t kDcpNullResponseSize = 273;
inline constexpr uint32_t kDcpDataTooLarge = 274;
inline constexpr uint32_t kDcpResponseTooLarge = 275;
inline constexpr uint32_t kDcpStatus = 311;
inline constexpr uint32_t kIoctlNotOpen = 334;
inline constexpr uint32_t kIoctlEvent = 340;
inline constexpr uint32_t kIoctlInvalidParameter = 352;
inline constexpr uint32_t kIoctlCrc = 356;
inline constexpr uint32_t kIoctlGenFailure = 360;
inline constexpr uint32_t kIoctlBusyTimeout = 364;
inline constexpr uint32_t kIoctlShortCount = 389;
inline constexpr uint32_t kIoctlOther = 398;
inline constexpr uint32_t kIoctlClosedWhileBusy = 401;
inline constexpr uint32_t kThreadWaitFailed = 512;
inline constexpr uint32_t kThreadUnknownKind = 543;
inline constexpr uint32_t kThreadDispatchForeign = 557;
inline constexpr uint32_t kThreadForeign = 567;
inline constexpr uint32_t kReadyTimeout = 610;

}  // namespace mrak::vexa::bus_lines
