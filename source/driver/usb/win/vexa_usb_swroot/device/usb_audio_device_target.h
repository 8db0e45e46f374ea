// The device proxy: the root driver's road to one USB audio device through
// the USB function driver's direct-call interface, obtained by
// query-interface on a remote I/O target over the device's interface.
#pragma once

#include "device/audio_device.h"
#include "device/device_owner.h"
#include "device/midi_endpoint.h"
#include "platform/kmdf/wdf.h"
#include "public/child_interface.h"

inline constexpr ULONG kUsbDeviceKind = 0x400;
inline constexpr ULONG kChannelLabelChars = 256;
// The notification bits that make a device re-read its configuration (bits 2 to 20).
inline constexpr ULONG kNotificationRefreshBits = 0x1FFFFC;

class UsbAudioDeviceTarget : public AudioDevice {
public:
    UsbAudioDeviceTarget();
    ~UsbAudioDeviceTarget() override;

    // Creates and opens the target, binds the interface, checks its version,
    // opens the vendor channel and reads the configuration; from then on it
    // reports to `link`'s owner and the USB driver calls its period callback. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS OpenTarget(WDFDEVICE rootDevice, PCUNICODE_STRING symbolicLink, const DeviceOwnerLink& link);
    // Hands the USB function driver zeroed callbacks, so that nothing reaches
    // this proxy any more, and clears the proxy's copy of the interface:
    // every later command answers kUsbResultNotConnected. PASSIVE_LEVEL.
    void Unbind();

    bool StartDeviceStreaming() override;
    bool StopDeviceStreaming() override;
    bool IsStreaming() override;
    [[nodiscard]] ULONG SendCommand(USHORT category, USHORT command, const void* in, ULONG64 inLength, void* out,
                                    ULONG64* outLength) override;
    ULONG GetDeviceKind() override { return kUsbDeviceKind; }
    // One command at a time per device, its resynchronisation and repeat included.
    [[nodiscard]] ULONG Command(USHORT category, USHORT command, const void* in, ULONG64 inLength, void* out,
                                ULONG64* outLength) override;
    // Defers the re-read and the control-panel notice to a work item
    // (notifications come at DISPATCH_LEVEL).
    void Refresh(ULONG bits) override { QueueDeviceNotification(bits); }
    void QueueDeviceNotification(ULONG bits);
    [[nodiscard]] virtual NTSTATUS ResetStreamState();

    // The device's rate, clock and channels with the owner's period and operation mode.
    [[nodiscard]] NTSTATUS SetStreamFormat(ULONG rate, ULONG periodFrames, ULONG operationMode);
    [[nodiscard]] NTSTATUS MapStreamState();
    [[nodiscard]] NTSTATUS SetOperationMode(ULONG mode);
    // Frames per millisecond and the safety frames beyond one millisecond.
    [[nodiscard]] NTSTATUS GetLatency(ULONG* framesPerMs, ULONG* safetyFrames);
    bool QueryBusy(ULONG* busy);
    // The product name (0x401/17) into `chars` characters. PASSIVE_LEVEL.
    [[nodiscard]] bool GetProductString(WCHAR* buffer, USHORT chars);

    // channel_labels.cpp: a channel's name at the device's current rate, or
    // "Output %d" / "Input %d" (from 1) when it has none, into `label` of
    // kChannelLabelChars characters. PASSIVE_LEVEL.
    void GetOutputChannelLabel(ULONG index, WCHAR* label);
    void GetInputChannelLabel(ULONG index, WCHAR* label);
    // The last channel whose label equals `name` without regard to case;
    // `index` is left as it was when none does. STATUS_UNSUCCESSFUL for a
    // device without channels of that direction. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS FindChannelByName(PCUNICODE_STRING name, LONG* index, bool input);

    // A MIDI object built for this device, with the proxy's reference. Every
    // arrival while the device is current builds one per direction for its
    // own MIDI children, and each keeps serving its child until the proxy
    // goes: input reaches them all, a pull is answered by whichever child has
    // a byte. PASSIVE_LEVEL, under the engine's binding lock.
    void AddMidiDevice(bool output, MidiEndpoint* midi);
    // Every MIDI object built for this device. Under the engine's binding lock.
    template <typename Fn>
    void ForEachMidiDevice(Fn fn);
    // A port of one MIDI direction is enabled or disabled by any of this
    // device's MIDI objects: the device's switch of the direction (one for
    // all its ports) follows the first port enabled and the last disabled,
    // over all of them. STATUS_UNSUCCESSFUL when the device refuses. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS CountMidiPort(bool output, ULONG port, bool enable);

    StreamState* MappedStreamState() const { return mappedStreamState_; }
    const StreamFormat& LastStreamFormat() const { return lastStreamFormat_; }
    void SetCurrent() { isCurrent_ = 1; }
    bool IsCurrent() const { return isCurrent_ != 0; }
    // Clears CommandContext: the device left D0 for good; later commands answer
    // kUsbResultNotConnected.
    void DropCommandContext();
    // Zeroes the whole copy of the interface; later commands answer kUsbResultNotConnected.
    void DropInterface();

    // Callbacks the USB function driver calls.
    [[nodiscard]] static ULONG OnDeviceNotification(PVOID owner, PVOID device, ULONG type, ULONG value);
    [[nodiscard]] static NTSTATUS OnMidiData(PVOID device, UCHAR direction, UCHAR cable, ULONG* word, UCHAR count);

protected:
    // For stand-in devices that answer commands themselves: bound to the owner without a target.
    void AttachOwner(WDFDEVICE rootDevice, const DeviceOwnerLink& link);

private:
    // PASSIVE_LEVEL, checked at entry.
    static EVT_WDF_IO_TARGET_REMOVE_COMPLETE OnTargetRemoveComplete;
    static EVT_WDF_WORKITEM DeviceNotificationWork;
    void FillInterface();
    void CheckVersion();
    // A byte of `cable` from one of the output MIDI objects (the list from `first`). Caller holds midiLock_.
    NTSTATUS PullMidiOutput(MidiEndpoint* first, UCHAR cable, ULONG* word);

    WDFIOTARGET ioTarget_ = nullptr;
    WDFDEVICE rootDevice_ = nullptr;
    UCHAR isCurrent_ = 0;
    StreamFormat lastStreamFormat_{};
    // Written and read under commandLock_, which every command holds; only
    // CommandContext is cleared without it (a release write, when the device
    // leaves D0 for good), so commands read it with an acquire read.
    AUDIODEVICE_INTERFACE deviceInterface_{};
    DeviceOwnerLink link_{};
    GUID interfaceType_;
    StreamState* mappedStreamState_ = nullptr;
    WDFWAITLOCK commandLock_ = nullptr;
    // The MIDI objects of each direction (input, output), newest first, linked
    // through their nextOfDevice. The MIDI callbacks read and use them under
    // midiLock_ (spin); an arrival adds to them under it and under the
    // engine's binding lock, at PASSIVE_LEVEL; the walks of ForEachMidiDevice
    // hold the binding lock.
    KSPIN_LOCK midiLock_ = 0;
    MidiEndpoint* midiDevices_[2] = {};
    // Per cable, the MIDI object whose child delivered the last byte pulled:
    // asked first, so one child's message is not cut by another's. Guarded by midiLock_.
    MidiEndpoint* pullSource_[vexa::child::kMidiMaxPorts] = {};
    // Enabled ports per direction over all MIDI objects; guarded by commandLock_.
    ULONG enabledMidiPorts_[2] = {};
};

template <typename Fn>
void UsbAudioDeviceTarget::ForEachMidiDevice(Fn fn) {
    for (MidiEndpoint* first : midiDevices_) {
        for (MidiEndpoint* midi = first; midi != nullptr; midi = midi->nextOfDevice) fn(midi);
    }
}

// The I/O target's context: the proxy it belongs to (cleared when the proxy
// goes first) and its owner, which serialises the removal with arrivals.
struct AUDIODEVICEIOTARGET {
    UsbAudioDeviceTarget* proxy;
    const DeviceOwner* owner;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(AUDIODEVICEIOTARGET, GetAudioDeviceIoTarget)

// A notification work item's context. The proxy is found again by its PAL
// identity, so a work item that runs after the device went touches nothing;
// its owner is looked up through the root device when it runs.
struct WORK_ITEM_CONTEXT {
    ULONG notificationBits;
    ULONG64 palId;
    const DeviceOwner* (*ownerOf)(WDFDEVICE rootDevice);
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(WORK_ITEM_CONTEXT, GetWorkItemContext)
