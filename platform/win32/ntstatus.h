// The NT status values for user mode: a Win32 program that deals in them
// includes ntstatus.h beside windows.h, the one list the kernel uses too.
#pragma once

#include "platform/kernel/ntstatus.h"
