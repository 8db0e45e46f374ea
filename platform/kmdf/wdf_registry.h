// The driver's Parameters key in the registry, and the values in it: ULONG
// (REG_DWORD), raw bytes of any type, and strings (REG_SZ).
#pragma once

#include "wdf_driver.h"
#include "wdf_string.h"

// Opens `Services\<driver>\Parameters` (created with the service). PASSIVE_LEVEL.
NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER driver, ACCESS_MASK access, PWDF_OBJECT_ATTRIBUTES attributes,
                                            WDFKEY* key);
void WdfRegistryClose(WDFKEY key);

// Every query answers STATUS_OBJECT_NAME_NOT_FOUND for a missing value, told
// apart from a value of the wrong type. All of them run at PASSIVE_LEVEL.

// STATUS_OBJECT_TYPE_MISMATCH when the value is not a DWORD.
NTSTATUS WdfRegistryQueryULong(WDFKEY key, PCUNICODE_STRING valueName, ULONG* value);
NTSTATUS WdfRegistryAssignULong(WDFKEY key, PCUNICODE_STRING valueName, ULONG value);
// The value's bytes and type, whatever the type. `valueLengthQueried` and
// `valueType` (either may be null) are set whenever the value exists; a
// buffer shorter than the value gets nothing and STATUS_BUFFER_OVERFLOW.
NTSTATUS WdfRegistryQueryValue(WDFKEY key, PCUNICODE_STRING valueName, ULONG valueLength, PVOID value,
                               ULONG* valueLengthQueried, ULONG* valueType);
NTSTATUS WdfRegistryAssignValue(WDFKEY key, PCUNICODE_STRING valueName, ULONG valueType, ULONG valueLength,
                                PVOID value);
// A REG_SZ value into `string`; STATUS_OBJECT_TYPE_MISMATCH for any other type.
NTSTATUS WdfRegistryQueryString(WDFKEY key, PCUNICODE_STRING valueName, WDFSTRING string);
// Writes `value` as REG_SZ (its terminating NUL stored with it, as Windows does).
NTSTATUS WdfRegistryAssignUnicodeString(WDFKEY key, PCUNICODE_STRING valueName, PCUNICODE_STRING value);
