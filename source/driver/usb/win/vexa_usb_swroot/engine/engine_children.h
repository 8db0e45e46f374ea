// What the engine does with the child devices of its root device: the
// children side implements it (the child book) and the root device hands it
// to the engine at init, so the engine includes nothing of the children.
// Every call is made under the engine's binding lock, PASSIVE_LEVEL.
#pragma once

#include "platform/kmdf/wdf.h"

class AudioDevice;
class UsbAudioDeviceTarget;

class EngineChildren {
public:
    [[nodiscard]] virtual NTSTATUS Init() = 0;
    // The WDM audio adapter child of `device` (the current one), serial number `serial`.
    [[nodiscard]] virtual NTSTATUS AddAdapterChild(WDFDEVICE fdo, ULONG serial, AudioDevice* device) = 0;
    // One MIDI child per MIDI direction of `current`, each with a MIDI object
    // built for it; a direction whose object cannot be built is skipped.
    // Caller holds the device list lock.
    [[nodiscard]] virtual NTSTATUS AddMidiChildren(WDFDEVICE fdo, ULONG serial, UsbAudioDeviceTarget* current) = 0;
    // The device goes: what its children borrowed is taken back before its objects go.
    virtual void ReleaseDevice(UsbAudioDeviceTarget* device) = 0;
    // Every present child of the FDO, of whatever device, is reported missing.
    [[nodiscard]] virtual NTSTATUS ReportMissing(WDFDEVICE fdo) = 0;

protected:
    ~EngineChildren() = default;
};
