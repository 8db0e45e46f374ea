// A USB audio device as the root driver's engine and dispatcher use it. The
// device proxy over the USB function driver's direct-call interface
// implements it; the engine owns the devices it lists.
#pragma once

#include "nt_error.h"

class AudioDevice : public PoolObject {
public:
    virtual ~AudioDevice() = default;

    virtual ULONG GetDeviceKind() = 0;
    virtual ULONG GetClockSource() = 0;
    virtual ULONG GetSampleRate() = 0;
    // Sets rate (Hz) and clock source on the device; false when it refuses.
    virtual bool SetClock(ULONG rate, ULONG clock) = 0;
    virtual ULONG GetOutputChannelCount(ULONG rate) = 0;
    virtual ULONG GetInputChannelCount(ULONG rate) = 0;
    // One DCP command (with the direct-call retry rules); `replyBytes` holds
    // the reply capacity on entry and the reply's length on return. Returns
    // the DCP result. PASSIVE_LEVEL.
    virtual ULONG Command(USHORT category, USHORT command, const void* data, ULONG dataBytes, void* reply,
                          ULONG64* replyBytes) = 0;

    // The device's PAL identity: an opaque nonzero number the engine gives it
    // at arrival. User mode only compares it; it is never an address.
    ULONG64 PalId() const { return palId_; }
    void SetPalId(ULONG64 id) { palId_ = id; }

private:
    ULONG64 palId_ = 0;
};
