// The framework interface a driver includes (our stand-in for wdf.h).
#pragma once

#include "platform/kernel/ntddk.h"
#include "platform/kmdf/wdf_childlist.h"
#include "platform/kmdf/wdf_device.h"
#include "platform/kmdf/wdf_driver.h"
#include "platform/kmdf/wdf_fileobject.h"
#include "platform/kmdf/wdf_memory.h"
#include "platform/kmdf/wdf_object.h"
#include "platform/kmdf/wdf_pdo.h"
#include "platform/kmdf/wdf_queue.h"
#include "platform/kmdf/wdf_registry.h"
#include "platform/kmdf/wdf_io_target.h"
#include "platform/kmdf/wdf_request.h"
#include "platform/kmdf/wdf_request_send.h"
#include "platform/kmdf/wdf_sync.h"
#include "platform/kmdf/wdf_workitem.h"
