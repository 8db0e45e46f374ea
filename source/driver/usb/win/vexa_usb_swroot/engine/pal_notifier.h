// What the engine and the client manager tell the control panel's clients
// (device arrivals and removals, bus changes, device events): the PAL client
// manager above them implements it and the engine is handed it at init, so
// that neither includes the control side.
#pragma once

#include "platform/kmdf/wdf.h"

class PalNotifier {
public:
    // One record to every registered PAL client (kind, 64-bit and 32-bit parameters). Up to DISPATCH_LEVEL.
    [[nodiscard]] virtual NTSTATUS Notify(ULONG kind, ULONG64 param64, ULONG param32) = 0;

protected:
    ~PalNotifier() = default;
};
