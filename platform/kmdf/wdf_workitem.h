// Framework work items: callbacks that run at PASSIVE_LEVEL on a system
// worker thread.
#pragma once

#include "wdf_object.h"

using EVT_WDF_WORKITEM = void(WDFWORKITEM workItem);
using PFN_WDF_WORKITEM = EVT_WDF_WORKITEM*;

struct WDF_WORKITEM_CONFIG {
    ULONG Size;
    PFN_WDF_WORKITEM EvtWorkItemFunc;
    BOOLEAN AutomaticSerialization;
};

inline void WDF_WORKITEM_CONFIG_INIT(WDF_WORKITEM_CONFIG* config, PFN_WDF_WORKITEM callback) {
    std::memset(config, 0, sizeof(*config));
    config->Size = sizeof(*config);
    config->EvtWorkItemFunc = callback;
    config->AutomaticSerialization = TRUE;
}

// The attributes must name a parent (a device, or an object below one).
NTSTATUS WdfWorkItemCreate(WDF_WORKITEM_CONFIG* config, PWDF_OBJECT_ATTRIBUTES attributes, WDFWORKITEM* workItem);
// Queues the item; an item already queued and not yet running is not queued twice.
void WdfWorkItemEnqueue(WDFWORKITEM workItem);
WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM workItem);
