// What the Windows version allows, read once at driver entry; each driver
// image keeps its own answer.
#pragma once

#include "platform/kernel/ntddk.h"

// Non-paged allocations of the USB function driver: no-execute from Windows
// 8 (6.2) on. (The root driver's objects are no-execute on every version.)
extern POOL_TYPE g_nonPagedPool;
// User-mode mappings add the no-execute flag (Windows 8 and later).
extern bool g_mappingNoExecute;

// Reads the version; an unreadable one keeps the older choices. PASSIVE_LEVEL.
void ReadWindowsVersion();
