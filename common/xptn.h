// The library's exception classes (each names itself and its direct parent in
// its type text) and the helper every throw site uses, so that the texts come
// from one table and the where-text has one form.
#pragma once

#include <string>

#include "common/exception.h"

namespace mrak::vexa {

#define MRAK_VEXA_EXCEPTION(name, parent, typeText, messageText)                                       \
    class name : public parent {                                                                       \
    public:                                                                                            \
        static constexpr const char* kType = typeText;                                                 \
        static constexpr const char* kMessage = messageText;                                           \
        name(std::string file, uint32_t line, std::string where, std::string message, std::string type) \
            : parent(std::move(file), line, std::move(where), std::move(message), std::move(type)) {}  \
    }

MRAK_VEXA_EXCEPTION(xptn_internal, mrak::exception::base, "xptn_internal->mrak::exception::base",
                    "Internal I/O platform abstraction layer error");
MRAK_VEXA_EXCEPTION(xptn_resource, mrak::exception::base, "xptn_resource->mrak::exception::base",
                    "System resource exhausted");
MRAK_VEXA_EXCEPTION(xptn_driver, xptn_internal, "xptn_driver->xptn_internal", "Driver not installed");
MRAK_VEXA_EXCEPTION(xptn_driver_version, xptn_driver, "xptn_driver_version->xptn_driver", "Driver version mismatch");
MRAK_VEXA_EXCEPTION(xptn_driver_access, xptn_driver, "xptn_driver_access->xptn_driver", "Driver access error");
MRAK_VEXA_EXCEPTION(xptn_driver_locked, xptn_driver, "xptn_driver_locked->xptn_driver",
                    "Driver streaming parameter locked");
MRAK_VEXA_EXCEPTION(xptn_device, xptn_driver_access, "xptn_device->xptn_driver_access", "Device is not accessible");
MRAK_VEXA_EXCEPTION(xptn_device_access, xptn_device, "xptn_device_access->xptn_device", "Device access failed");
MRAK_VEXA_EXCEPTION(xptn_device_timeout, xptn_device, "xptn_device_timeout->xptn_device", "Device operation timeout");
MRAK_VEXA_EXCEPTION(xptn_device_firmware, xptn_device, "xptn_device_firmware->xptn_device",
                    "Device firmware operation error");

#undef MRAK_VEXA_EXCEPTION

// The function, then ": " and the failed expression in double quotes; the function alone without one.
std::string where_text(const char* function, const char* expression);

// An exception of class X raised at `file`:`line` in `function` because `expression` held.
template <typename X>
X make_xptn(const char* file, uint32_t line, const char* function, const char* expression = nullptr) {
    return X(file, line, where_text(function, expression), X::kMessage, X::kType);
}

}  // namespace mrak::vexa
