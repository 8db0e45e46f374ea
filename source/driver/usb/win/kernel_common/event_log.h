// LogEvent: one system event-log entry naming a message of the drivers'
// table. Allowed up to DISPATCH_LEVEL; never fails the caller.
#pragma once

#include "platform/kernel/ntddk.h"

// `ioObject` is a driver object or a device object.
void LogEvent(PVOID ioObject, UCHAR majorFunction, ULONG messageId, NTSTATUS finalStatus);
