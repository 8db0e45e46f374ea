// The driver's Parameters key in the registry, and ULONG values in it.
#pragma once

#include "wdf_driver.h"

// Opens `Services\<driver>\Parameters` (created with the service). PASSIVE_LEVEL.
NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER driver, ACCESS_MASK access, PWDF_OBJECT_ATTRIBUTES attributes,
                                            WDFKEY* key);
void WdfRegistryClose(WDFKEY key);
// STATUS_OBJECT_NAME_NOT_FOUND when the value is missing, STATUS_OBJECT_TYPE_MISMATCH when it is not a DWORD.
NTSTATUS WdfRegistryQueryULong(WDFKEY key, PCUNICODE_STRING valueName, ULONG* value);
NTSTATUS WdfRegistryAssignULong(WDFKEY key, PCUNICODE_STRING valueName, ULONG value);
