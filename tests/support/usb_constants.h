// Names and pool tags the USB function driver's tests share.
#pragma once

#include "platform/kernel/nt_types.h"

namespace vexa::test {

inline constexpr ULONG kTagObject = 0x774E434B;  // objects and contexts
inline constexpr ULONG kTagBuffer = 0x4D52414B;  // stream, descriptor and vendor buffers
inline constexpr const char* kUsbService = "QUVVexaUSBDevice";

}  // namespace vexa::test
