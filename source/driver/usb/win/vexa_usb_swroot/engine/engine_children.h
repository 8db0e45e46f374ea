// What the engine does with the child devices of its root device: the
// children side fills the record (the child book's functions and the book as
// their context) and the root device hands it to the engine at init, so the
// engine includes nothing of the children. Every call is made under the
// engine's binding lock, PASSIVE_LEVEL.
#pragma once

#include "platform/kmdf/wdf.h"

class AudioDevice;
class UsbAudioDeviceTarget;

struct EngineChildren {
    PVOID context;
    NTSTATUS (*init)(PVOID context);
    NTSTATUS (*addAdapter)(PVOID context, WDFDEVICE fdo, ULONG serial, AudioDevice* device);
    NTSTATUS (*addMidi)(PVOID context, WDFDEVICE fdo, ULONG serial, UsbAudioDeviceTarget* current);
    void (*releaseDevice)(PVOID context, UsbAudioDeviceTarget* device);
    NTSTATUS (*reportMissing)(PVOID context, WDFDEVICE fdo);

    [[nodiscard]] NTSTATUS Prepare() const { return init(context); }
    // The WDM audio adapter child of `device` (the current one), serial number `serial`.
    [[nodiscard]] NTSTATUS AdapterChild(WDFDEVICE fdo, ULONG serial, AudioDevice* device) const {
        return addAdapter(context, fdo, serial, device);
    }
    // One MIDI child per MIDI direction of `current`, each with a MIDI object
    // built for it; a direction whose object cannot be built is skipped.
    // Caller holds the device list lock.
    [[nodiscard]] NTSTATUS MidiChildren(WDFDEVICE fdo, ULONG serial, UsbAudioDeviceTarget* current) const {
        return addMidi(context, fdo, serial, current);
    }
    // The device goes: what its children borrowed is taken back before its objects go.
    void DeviceGoes(UsbAudioDeviceTarget* device) const { releaseDevice(context, device); }
    // Every present child of the FDO, of whatever device, is reported missing.
    [[nodiscard]] NTSTATUS AllMissing(WDFDEVICE fdo) const { return reportMissing(context, fdo); }
};
