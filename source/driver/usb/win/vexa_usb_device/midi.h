// USB-MIDI ports: one object per MIDI endpoint. IN ports read continuously
// and hand each message to the root driver; OUT ports pull the root driver's
// bytes one at a time, encode them per cable and write them in bulk.
#pragma once

#include "device.h"
#include "usb_audio.h"

inline constexpr ULONG kMidiCables = 16;

// What a cable's encoder is in the middle of.
enum class MidiEncoderPhase : UCHAR {
    kIdle = 0,  // no status: data bytes are dropped until one comes
    kMessage,   // a channel or system common message; running status repeats it
    kSysEx,     // a system exclusive: its bytes go out three an event
};

struct MidiEncoderState {
    UCHAR cin;    // code index number of the message being assembled, 0 none
    UCHAR byte1;  // kMessage: the status; kSysEx: the first byte held
    UCHAR byte2;
    MidiEncoderPhase phase;
    UCHAR count;  // bytes held in byte1 and byte2, 0-2
};

struct MidiPort {
    UsbFunctionDevice* device;
    MidiEventPacket* buffer;   // OUT: the bulk write's events, eventCapacity of them
    ULONG maxPacketSize;
    ULONG eventCapacity;       // events in one bulk write
    volatile LONG writeState;  // 0 idle, 1 encoding, 2 write in flight; guarded by portLock
    volatile LONG writesOutstanding;    // interlocked changes; no-fence reads
    PFN_AUDIODEVICE_MIDI midiCallback;  // guarded by portLock
    PVOID midiContext;                  // guarded by portLock
    ULONG cableCount;
    // The port number of cable 0: the objects of a direction number their
    // cables consecutively in list order, and kick, pull and input all name
    // a port by that number.
    ULONG firstPort;
    volatile LONG pending[kMidiCables];  // output waiting in the root driver, per cable; guarded by portLock
    MidiEncoderState encoderState[kMidiCables];  // the one sender (writeState 1) only
    WDFREQUEST request;        // the bulk write, created once and reused
    WDFMEMORY bufferMemory;    // describes `buffer`; one per port
    PipeRecord* pipe;
    InterfaceObject* interface;
    volatile LONG enabled;     // interlocked writes (0x401/15); the reader's completion reads it no-fence
    KSPIN_LOCK portLock;       // writeState, pending, the callback pair and the write chain
};

// The IN port's continuous reader and the OUT port's bulk write; DISPATCH_LEVEL.
EVT_WDF_USB_READER_COMPLETION_ROUTINE MidiEvtInComplete;
EVT_WDF_REQUEST_COMPLETION_ROUTINE MidiEvtWriteComplete;

// Builds the port objects of a MIDI streaming interface (at most 16 per direction).
[[nodiscard]] NTSTATUS MidiPortsCreate(UsbFunctionDevice* device, InterfaceObject* object);
void MidiPortFree(MidiPort* port);
[[nodiscard]] NTSTATUS StartMidiInReader(MidiPort* port);
[[nodiscard]] NTSTATUS StartMidiPort(MidiPort* port);
void StopMidiPort(MidiPort* port);
void MidiSetCallbacks(UsbFunctionDevice* device, PFN_AUDIODEVICE_MIDI callback, PVOID context);
[[nodiscard]] NTSTATUS MidiOutKick(UsbFunctionDevice* device, ULONG value);
[[nodiscard]] NTSTATUS MidiEnable(UsbFunctionDevice* device, ULONG value);
// A port counts while a write of it is outstanding; an enabled input alone does not.
bool MidiBusy(UsbFunctionDevice* device);
