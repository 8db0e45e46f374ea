// The MIDI side of the child devices: one MidiDevice per MIDI direction of
// the current device, the context of a MIDI child. Its port records hold the
// names the child reads and the functions the child bound; bytes flow between
// those functions and the USB function driver's MIDI path (kick, pull, input).
//
// Locks, in this order: callLock_ (wait lock: the device pointer and the
// enables; kicks and enables hold it while they command the device), then
// portLock_ (spin lock: every port's binding; a delivery or pull reads the
// child's function and context and calls it under it, so a close that
// returned leaves no call behind).
//
// Lifetime: referenced by the device proxy that built it and by each child
// that borrows it; the last release deletes it (PASSIVE_LEVEL).
#pragma once

#include "device/midi_endpoint.h"
#include "platform/kmdf/wdf.h"
#include "pool_memory.h"
#include "public/child_interface.h"

class UsbAudioDeviceTarget;

inline constexpr ULONG kMidiNameChars = 260;
inline constexpr ULONG kMidiProductNameChars = 32;

// Common base of the objects a child device works with (its context).
class ChildObject : public PoolObject {
public:
    virtual ~ChildObject() = default;
};

struct MidiPortRecord : PoolObject {
    UNICODE_STRING friendlyName;
    WCHAR friendlyNameBuffer[kMidiNameChars];
    UNICODE_STRING instanceId;
    WCHAR instanceIdBuffer[kMidiNameChars];
    vexa::child::MidiOpenPort openRecord;  // guarded by the owner's portLock_
    class MidiDevice* owner;
    bool enabled;                          // guarded by the owner's callLock_
};

class MidiDevice : public ChildObject {
public:
    ~MidiDevice() override;

    ULONG Kind() const { return kind_; }
    ULONG PortCount() const { return portCount_; }
    bool IsOutput() const { return kind_ == vexa::child::kMidiKindOut; }
    // Whether it serves `device` (false once detached).
    bool BelongsTo(const UsbAudioDeviceTarget* device);

    // Builds the port records for `portCount` ports (at most 16) of `device`. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS MidiDeviceInit(ULONG portCount, UsbAudioDeviceTarget* device);
    // Names and instance ids of the ports. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS MidiGetInfo(vexa::child::MidiInfo* info);
    // Binds the port the request names to the child's functions and writes the reply over it. PASSIVE_LEVEL.
    [[nodiscard]] NTSTATUS MidiBindPort(vexa::child::MidiOpenPort* record);
    // One incoming message for port `cable`, to the child's input function. DISPATCH_LEVEL.
    NTSTATUS MidiDeliverInput(UCHAR cable, const ULONG* word, ULONG64 time);
    // One outgoing byte of port `cable` from the child's pull function, or kNoMidiData. DISPATCH_LEVEL.
    NTSTATUS MidiPullOutput(UCHAR cable, ULONG* word);
    // The device goes: every bound port is closed and its child told (its close function). PASSIVE_LEVEL.
    void MidiCloseAllPorts();
    // The child goes: every binding is dropped without calling the child. PASSIVE_LEVEL.
    void UnbindAll();
    // No kick, enable or information reaches the device from now on. PASSIVE_LEVEL.
    void Detach();

    void Reference();
    void Release();

    // The device proxy's end of this object (its list of MIDI objects).
    MidiEndpoint* Endpoint() { return &endpoint_; }
    static MidiDevice* OfEndpoint(const MidiEndpoint* endpoint) { return static_cast<MidiDevice*>(endpoint->context); }

    // The functions handed to the child.
    [[nodiscard]] static NTSTATUS MidiKick(PVOID midi, ULONG port);
    [[nodiscard]] static NTSTATUS MidiEnable(PVOID ignored, PVOID midi, ULONG port, UCHAR enable);
    [[nodiscard]] static NTSTATUS MidiClosePort(PVOID midi, ULONG port);

protected:
    explicit MidiDevice(ULONG kind) noexcept;

private:
    // Takes the port's binding and clears it. Caller holds callLock_.
    vexa::child::MidiOpenPort TakeBinding(ULONG port);
    // Sets the port's enable; the device counts it with the other MIDI
    // objects' (UsbAudioDeviceTarget::CountMidiPort). Caller holds callLock_.
    [[nodiscard]] NTSTATUS SetEnabled(ULONG port, bool enable);

    const ULONG kind_;
    ULONG portCount_ = 0;
    MidiPortRecord* ports_[vexa::child::kMidiMaxPorts] = {};
    WDFWAITLOCK callLock_ = nullptr;
    UsbAudioDeviceTarget* device_ = nullptr;  // guarded by callLock_; null once detached
    KSPIN_LOCK portLock_ = 0;
    volatile LONG references_ = 1;
    MidiEndpoint endpoint_;
};

// The two kinds differ only in what their destructors trace.
class MidiInDevice final : public MidiDevice {
public:
    MidiInDevice() noexcept : MidiDevice(vexa::child::kMidiKindIn) {}
    ~MidiInDevice() override;
};

class MidiOutDevice final : public MidiDevice {
public:
    MidiOutDevice() noexcept : MidiDevice(vexa::child::kMidiKindOut) {}
    ~MidiOutDevice() override;
};
