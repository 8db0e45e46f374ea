// The kernel interface a driver includes (our stand-in for ntddk.h).
#pragma once

#include "platform/kernel/barrier.h"
#include "platform/kernel/io.h"
#include "platform/kernel/irql.h"
#include "platform/kernel/mdl.h"
#include "platform/kernel/nt_types.h"
#include "platform/kernel/ntstatus.h"
#include "platform/kernel/pool.h"
#include "platform/kernel/sync.h"
