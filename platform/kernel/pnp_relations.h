// A bus driver's word to the PnP manager that the set of its children
// changed. The PnP manager asks the device's stack for its bus relations
// (IRP_MN_QUERY_DEVICE_RELATIONS) later, on its own enumeration worker, as
// Windows does: enumeration is asynchronous.
#pragma once

#include "io.h"

// `device` is the PDO of the bus device whose children changed. Up to DISPATCH_LEVEL.
void IoInvalidateDeviceRelations(DEVICE_OBJECT* device, DEVICE_RELATION_TYPE type);
