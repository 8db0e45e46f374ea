// The device proxy's end of a MIDI object built for its device: the MIDI
// callbacks of the USB function driver reach the objects through it, and the
// proxy keeps a list of them (newest first, linked through nextOfDevice).
#pragma once

#include "platform/kmdf/wdf.h"

class MidiEndpoint {
public:
    // One incoming message for port `cable`. DISPATCH_LEVEL.
    virtual NTSTATUS MidiDeliverInput(UCHAR cable, const ULONG* word, ULONG64 time) = 0;
    // One outgoing byte of port `cable`, or kNoMidiData. DISPATCH_LEVEL.
    virtual NTSTATUS MidiPullOutput(UCHAR cable, ULONG* word) = 0;
    // The device goes: every bound port is closed and its child told. PASSIVE_LEVEL.
    virtual void MidiCloseAllPorts() = 0;
    // No kick, enable or information reaches the device from now on. PASSIVE_LEVEL.
    virtual void Detach() = 0;
    // Drops the proxy's reference.
    virtual void Release() = 0;

    // The next MIDI object of the same direction built for the same device.
    MidiEndpoint* nextOfDevice = nullptr;

protected:
    ~MidiEndpoint() = default;
};
