// The root FDO as a bus: the child devices (PDOs) the engine describes for
// the current device, on which outside drivers load: the WDM audio adapter
// child and one MIDI child per MIDI direction. Each child is tagged with its
// kind; its context object (the AudioDevice or a MidiDevice) is borrowed from
// the device it serves and taken from it before that device's objects go.
#pragma once

#include "children/midi_device.h"
#include "device/lock_scope.h"
#include "engine/audio_engine.h"
#include "engine/engine_children.h"
#include "platform/kmdf/wdf.h"

class UsbAudioDeviceTarget;
class WdmAdapter;

inline constexpr ULONG kChildIdentificationBytes = 40;
inline constexpr ULONG kMaxChildAdapters = 1;

// Hardware ids as multi-strings (the string, then two NULs); the lengths count both NULs.
inline constexpr WCHAR kAdapterHardwareId[] = u"QUVVexaUSB\\Audio&Adapter\0";
inline constexpr WCHAR kMidiInHardwareId[] = u"QUVVexaUSB\\MidiIn\0";
inline constexpr WCHAR kMidiOutHardwareId[] = u"QUVVexaUSB\\MidiOut\0";
inline constexpr ULONG64 kAdapterHardwareIdBytes = sizeof(kAdapterHardwareId);
inline constexpr ULONG64 kMidiInHardwareIdBytes = sizeof(kMidiInHardwareId);
inline constexpr ULONG64 kMidiOutHardwareIdBytes = sizeof(kMidiOutHardwareId);
static_assert(kAdapterHardwareIdBytes == 52 && kMidiInHardwareIdBytes == 38 && kMidiOutHardwareIdBytes == 40);

enum class ChildKind : ULONG { Adapter = 1, MidiIn = 2, MidiOut = 3 };

// The framework's identification description of every child.
struct ChildIdentification {
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER header;  // size 40
    PVOID contextObject;       // the AudioDevice (adapter child) or a MidiDevice
    ULONG serialNumber;        // the arrived device's list position + 1
    ULONG64 hardwareIdLength;  // bytes, both terminating NULs counted
    const WCHAR* hardwareId;   // one of the three constants above
};
static_assert(sizeof(ChildIdentification) == kChildIdentificationBytes);
static_assert(offsetof(ChildIdentification, serialNumber) == 16);
static_assert(offsetof(ChildIdentification, hardwareIdLength) == 24);

// The context of each child PDO.
struct CHILD_DEVEXT {
    WDFQUEUE queue;
    // Written under the engine's child book (release writes); null once its
    // device went. Read under the book, or by the WDM requests with an acquire read.
    PVOID contextObject;
    ChildObject* adapters[kMaxChildAdapters];  // the WDM audio child's open adapter; guarded by the engine's binding lock
    ULONG64 adapterCount;                      // guarded by the engine's binding lock
    ChildKind kind;
    AudioEngine* engine;
    WDFDEVICE device;
    CHILD_DEVEXT* next;  // the book's list; guarded by its lock
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(CHILD_DEVEXT, GetChildDevext)

// The engine's record of the children that exist, so that a device that
// goes can take back what its children borrowed. Every use of a child's
// context holds the book's lock (PASSIVE_LEVEL). The root device makes one
// beside its engine, hands it to the engine and deletes it after the engine.
class ChildBook : public PoolObject {
public:
    ChildBook();
    virtual ~ChildBook();
    ChildBook(const ChildBook&) = delete;
    ChildBook& operator=(const ChildBook&) = delete;

    // What the engine does with the children, with this book as the context.
    const EngineChildren* ForEngine() const { return &forEngine_; }

    [[nodiscard]] NTSTATUS Init();
    [[nodiscard]] NTSTATUS AddAdapterChild(WDFDEVICE fdo, ULONG serial, AudioDevice* device);
    [[nodiscard]] NTSTATUS AddMidiChildren(WDFDEVICE fdo, ULONG serial, UsbAudioDeviceTarget* current);
    void Add(CHILD_DEVEXT* child);
    // The child goes: unlisted, its context given back (its MIDI ports
    // unbound without calling it) and its open adapters closed.
    void Remove(CHILD_DEVEXT* child);
    // The device goes: its MIDI ports are closed (the children are told), and
    // every child borrowing from it loses its context, before its objects go.
    void ReleaseDevice(UsbAudioDeviceTarget* device);

    // Handles the WDM audio child hands back, looked for by address among the
    // adapters its children hold open; caller holds the engine's binding lock.
    // The open adapter at `handle`, taken out of its child's list; null when none is there.
    WdmAdapter* TakeOpenAdapter(const void* handle);
    // The open adapter that holds the stream at `handle`; null when none does.
    WdmAdapter* FindStreamOwner(const void* handle);

    template <typename Fn>
    auto WithLock(Fn fn) {
        WaitLockScope lock(lock_);
        return fn();
    }

private:
    WDFWAITLOCK lock_ = nullptr;
    CHILD_DEVEXT* first_ = nullptr;  // guarded by lock_
    const EngineChildren forEngine_;
};

// An engine's children are the child book its root device handed it.
inline ChildBook& BookOf(AudioEngine* engine) { return *static_cast<ChildBook*>(engine->Children().context); }

// The WDM audio child's list of open adapters. Caller holds the engine's binding lock.
bool HoldsAdapter(const CHILD_DEVEXT* child, const ChildObject* adapter);
// Unlists the adapter; false when it was not listed.
bool TakeAdapter(CHILD_DEVEXT* child, ChildObject* adapter);
// Lists the adapter; false when the list is full.
bool ListAdapter(CHILD_DEVEXT* child, ChildObject* adapter);

// PASSIVE_LEVEL. A child with this id and serial number present already:
// event 0xC0060001 and STATUS_INVALID_PARAMETER.
[[nodiscard]] NTSTATUS AddChild(WDFDEVICE fdo, const WCHAR* hardwareId, ULONG64 hardwareIdLength, ULONG serialNumber,
                                PVOID contextObject);
// Every present child of the FDO, of whatever device, is reported missing. PASSIVE_LEVEL.
[[nodiscard]] NTSTATUS ReportChildrenMissing(WDFDEVICE fdo);
// A child PDO of `engine`'s root device `fdo` (the child list's create callback). PASSIVE_LEVEL.
[[nodiscard]] NTSTATUS CreateChildPdo(WDFDEVICE fdo, AudioEngine* engine, PWDFDEVICE_INIT childInit,
                                      const ChildIdentification* description);

// The child list's and the children's framework callbacks (PASSIVE_LEVEL but OnChildIoStop).
EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE CompareChildIdentification;
EVT_WDF_OBJECT_CONTEXT_CLEANUP OnChildCleanup;
EVT_WDF_IO_QUEUE_IO_STOP OnChildIoStop;
// child_requests.cpp
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL OnMidiChildIoctl;
EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL OnWdmChildInternalIoctl;
