// The device proxy's end of a MIDI object built for its device: the MIDI
// callbacks of the USB function driver reach the objects through it, and the
// proxy keeps a list of them (newest first, linked through nextOfDevice).
// The object fills it with its functions and itself as their context.
#pragma once

#include "platform/kmdf/wdf.h"

struct MidiEndpoint {
    PVOID context;
    NTSTATUS (*deliver)(PVOID context, UCHAR cable, const ULONG* word, ULONG64 time);
    NTSTATUS (*pull)(PVOID context, UCHAR cable, ULONG* word);
    void (*release)(PVOID context);
    // The next MIDI object of the same direction built for the same device.
    MidiEndpoint* nextOfDevice;

    // One incoming message for port `cable`. DISPATCH_LEVEL.
    NTSTATUS DeliverInput(UCHAR cable, const ULONG* word, ULONG64 time) const {
        return deliver(context, cable, word, time);
    }
    // One outgoing byte of port `cable`, or kNoMidiData. DISPATCH_LEVEL.
    NTSTATUS PullOutput(UCHAR cable, ULONG* word) const { return pull(context, cable, word); }
    // Drops the proxy's reference.
    void Drop() const { release(context); }
};
