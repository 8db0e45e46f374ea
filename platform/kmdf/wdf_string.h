// Framework string objects: a counted wide string the framework owns, which
// the registry's string values are read into.
#pragma once

#include "wdf_object.h"

namespace platform::kmdf {
NTSTATUS StringCreate(WDF_DRIVER_GLOBALS* globals, PCUNICODE_STRING text, PWDF_OBJECT_ATTRIBUTES attributes,
                      WDFSTRING* string);
}  // namespace platform::kmdf

// A string holding a copy of `text` (empty when null); its default parent is
// the driver. PASSIVE_LEVEL.
inline NTSTATUS WdfStringCreate(PCUNICODE_STRING text, PWDF_OBJECT_ATTRIBUTES attributes, WDFSTRING* string) {
    return platform::kmdf::StringCreate(&WdfDriverGlobals, text, attributes, string);
}
// The string's text, valid until the string is deleted or assigned anew.
void WdfStringGetUnicodeString(WDFSTRING string, PUNICODE_STRING text);
