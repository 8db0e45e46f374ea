// The function driver's side of a device stack as the PnP manager drives it:
// the start, stop, power and removal steps that Windows sends as PnP and power
// IRPs, reduced to one call each. The framework implements it for the device
// objects it creates; the PnP manager reaches it through the FDO that the
// driver's AddDevice attached above the PDO. Every step runs at PASSIVE_LEVEL,
// serialised per device by the PnP manager.
#pragma once

#include "io.h"

enum DEVICE_POWER_STATE : ULONG {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0,
    PowerDeviceD1,
    PowerDeviceD2,
    PowerDeviceD3,
    PowerDeviceMaximum,
};

// Why the system changes power (a power request's shutdown type).
enum POWER_ACTION : ULONG {
    PowerActionNone = 0,
    PowerActionReserved,
    PowerActionSleep,
    PowerActionHibernate,
    PowerActionShutdown,
    PowerActionShutdownReset,
    PowerActionShutdownOff,
    PowerActionWarmEject,
};

namespace platform {

class PnpDevice : public IrpHandler {
public:
    // IRP_MN_START_DEVICE: the hardware prepared, D0 entered, the device's
    // interfaces enabled. A failed start is followed by remove().
    virtual NTSTATUS start() = 0;
    // IRP_MN_STOP_DEVICE (a resource rebalance): D0 left for good and the
    // hardware released; start() follows.
    virtual void stop() = 0;
    // IRP_MN_SET_POWER out of D0 to `target` (D1 to D3) for `action`, and back to D0.
    virtual NTSTATUS power_down(DEVICE_POWER_STATE target, POWER_ACTION action) = 0;
    virtual NTSTATUS power_up() = 0;
    // IRP_MN_SURPRISE_REMOVAL: the interfaces disabled, the driver told, D0 left; remove() follows.
    virtual void surprise_removal() = 0;
    // IRP_MN_REMOVE_DEVICE: the interfaces disabled, D0 left if the device is
    // still in it, the hardware released and the device deleted.
    virtual void remove() = 0;
};

// The function device above a PDO; null while no driver has attached one.
inline PnpDevice* function_device(DEVICE_OBJECT* pdo) {
    DEVICE_OBJECT* fdo = pdo->AttachedDevice;
    return fdo != nullptr ? dynamic_cast<PnpDevice*>(fdo->Handler) : nullptr;
}

}  // namespace platform
