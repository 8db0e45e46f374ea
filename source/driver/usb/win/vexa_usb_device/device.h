// The USB function driver's private header: the device context, the
// per-device object and the prototypes shared between its files.
#pragma once

#include "platform/kmdf/wdf.h"
#include "platform/usb/wdf_usb.h"
#include "pool_memory.h"
#include "public/audio_device_interface.h"
#include "windows_version.h"

inline constexpr ULONG kPoolTagBuffer = 0x4D52414B;  // stream buffers, descriptor copies, vendor buffers

// The vendor interface that carries the vendor channel.
inline constexpr UCHAR kVendorInterfaceClass = 0xFF;
inline constexpr UCHAR kVendorChannelSubclass = 0x01;

inline constexpr ULONG kMaxInterfaces = 8;
inline constexpr ULONG kMaxPipesPerInterface = 32;
inline constexpr ULONG kMaxMidiPorts = 16;
inline constexpr ULONG kMaxClockEntries = 16;  // clock sources and discrete rates kept
inline constexpr ULONG kClockNameChars = 32;

struct UsbFunctionDevice;
struct IsoStream;
struct ClockControl;
struct VendorChannel;
struct MidiPort;
struct InterfaceObject;
struct USB_CONFIGURATION;

// The framework context of the WDFDEVICE.
struct DEVICE_CONTEXT {
    UsbFunctionDevice* device;  // null before device add finished and after the hardware is released
    WDFUSBDEVICE usbDevice;     // null until preparation creates it and again after release
    WDFSPINLOCK stateLock;      // see UsbFunctionDevice::deviceState and deviceInterface; parent: the WDFDEVICE
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, GetDeviceContext)

enum : ULONG {
    kDeviceStateReady = 0,
    kDeviceStateLowPower = 1,
    kDeviceStateRemoved = 2,
};

// One configured pipe of an interface's current setting.
struct PipeRecord {
    InterfaceObject* interface;
    WDF_USB_PIPE_INFORMATION information;
    WDFUSBPIPE pipe;
    const USB_ENDPOINT_DESCRIPTOR* endpoint;  // inside the configuration descriptor
    ULONG packetBytes;                        // isochronous pipes only
    ULONG bytesPerFrame;                      // isochronous pipes only: per 1 ms frame
};

// One configured interface.
struct InterfaceObject {
    WDFUSBINTERFACE usbInterface;
    USB_INTERFACE_DESCRIPTOR* descriptor;      // copy of the configured setting's descriptor
    PipeRecord* pipes[kMaxPipesPerInterface];  // configured pipes in pipe-index order
    USB_CONFIGURATION* configuration;
};

// The USB configuration record.
struct USB_CONFIGURATION {
    DEVICE_CONTEXT* deviceContext;
    DEVICE_OBJECT* pdo;
    WDF_USB_DEVICE_INFORMATION information;
    USB_DEVICE_DESCRIPTOR deviceDescriptor;
    USB_CONFIGURATION_DESCRIPTOR* configurationDescriptor;  // memory object parented to the WDFUSBDEVICE
    WDFDEVICE wdfDevice;
    InterfaceObject* interfaces[kMaxInterfaces];
    UCHAR interfaceCount;
};

// The device object of the USB function driver, one per device (pool tag
// kPoolTagObject, zeroed). The direct-call record comes first.
struct UsbFunctionDevice {
    // The registered template, then the accepted query's copy. Written under
    // stateLock by the query acceptance (the registration writes it before
    // any query can come); read under it by the power notification and for
    // the completion path's real-time pair.
    AUDIODEVICE_INTERFACE deviceInterface;
    // kDeviceState*. Written under stateLock by preparation, surprise removal
    // and release, and read under it by the command entry and the query
    // acceptance. Three writers go without the lock: D0 entry and exit (the
    // framework runs them apart from the other PnP callbacks) and the
    // completion path, which marks a pulled-out device removed; every access
    // is one whole-word read or write (no-fence).
    volatile LONG deviceState;
    // 1 between a streaming start and the next stop: changed interlocked by
    // them; the completion path reads it no-fence (a completion that misses a
    // stop resubmits once more, and the stop's drain takes that URB back).
    volatile LONG streamingOn;
    WDFDEVICE wdfDevice;
    USB_CONFIGURATION configuration;
    GUID interfaceType;  // the type a query must name
    IsoStream* captureStream;
    IsoStream* playbackStream;
    ClockControl* clock;
    VendorChannel* vendorChannel;
    MidiPort* midiIn[kMaxMidiPorts];
    LONG midiInCount;
    MidiPort* midiOut[kMaxMidiPorts];
    LONG midiOutCount;
    // Shared with the root driver by address: see the ring in stream_ring.cpp.
    StreamState streamState;
    // Written by the commands at PASSIVE_LEVEL, the rate and the whole format
    // only while no stream runs. The operation mode alone changes while
    // streaming (0x401/18): written no-fence, and the completion path reads
    // it no-fence; modeChangePending orders it before the resync it asks for.
    StreamFormat streamFormat;
    volatile LONG modeChangePending;  // interlocked both ways: 0x401/18 sets it, the clock stream's completion takes it
    // Per device, so two interfaces never share one schedule.
    volatile LONG runningStreamCount;  // interlocked changes; no-fence reads: streams with URBs outstanding
    volatile LONG sharedStartFrame;    // the running schedule's start frame, 0 when none runs; interlocked writes
};

// ---- framework callbacks, by role ------------------------------------------------------------

// driver.cpp, device.cpp and command.cpp: PASSIVE_LEVEL, each checks at entry.
EVT_WDF_OBJECT_CONTEXT_CLEANUP UsbEvtDriverCleanup;
[[nodiscard]] EVT_WDF_DRIVER_DEVICE_ADD UsbEvtDriverDeviceAdd;
[[nodiscard]] EVT_WDF_DEVICE_PREPARE_HARDWARE UsbEvtDevicePrepareHardware;
[[nodiscard]] EVT_WDF_DEVICE_D0_ENTRY UsbEvtDeviceD0Entry;
[[nodiscard]] EVT_WDF_DEVICE_D0_EXIT UsbEvtDeviceD0Exit;
[[nodiscard]] EVT_WDF_DEVICE_RELEASE_HARDWARE UsbEvtDeviceReleaseHardware;
EVT_WDF_DEVICE_SURPRISE_REMOVAL UsbEvtDeviceSurpriseRemoval;
[[nodiscard]] EVT_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST UsbEvtDeviceProcessQueryInterfaceRequest;
// configuration.cpp, vendor_channel.cpp and clock.cpp: the continuous readers, DISPATCH_LEVEL.
EVT_WDF_USB_READERS_FAILED UsbEvtPipeReadersFailed;
EVT_WDF_USB_READER_COMPLETION_ROUTINE VendorEvtNotificationComplete;
EVT_WDF_USB_READER_COMPLETION_ROUTINE ClockEvtInterruptComplete;

// ---- device.cpp -------------------------------------------------------------------------

// deviceState under stateLock. Any IRQL up to DISPATCH_LEVEL.
ULONG ReadDeviceState(UsbFunctionDevice* device);
void WriteDeviceState(UsbFunctionDevice* device, ULONG state);

// ---- command.cpp ---------------------------------------------------------------------------

// Builds the direct-call template at the head of the device and registers it. PASSIVE_LEVEL.
[[nodiscard]] NTSTATUS RegisterDirectCallInterface(UsbFunctionDevice* device);
// Sends a power notification (type 2) to the root driver, if one is bound. PASSIVE_LEVEL.
void NotifyPower(UsbFunctionDevice* device, ULONG value);
// The direct-call interface's CommandEntry; a DCP result. PASSIVE_LEVEL, checked at entry.
[[nodiscard]] ULONG UsbCommandEntry(PVOID context, USHORT category, USHORT command, PVOID in, ULONG64 inLength,
                                    PVOID out, ULONG64* outLength);

// ---- configuration.cpp ---------------------------------------------------------------------

void ConfigurationInit(USB_CONFIGURATION* configuration);
void ConfigurationCleanup(USB_CONFIGURATION* configuration);
// Builds the USB target, reads and selects the configuration. PASSIVE_LEVEL.
[[nodiscard]] NTSTATUS UsbTargetSetup(USB_CONFIGURATION* configuration, WDFDEVICE device);
// Checks an isochronous pipe's packet size and interval and fills its frame arithmetic.
[[nodiscard]] NTSTATUS CheckIsochronousPipe(PipeRecord* pipe);
// The direction and recipient of a class request.
inline constexpr UCHAR kDirectionIn = 1;
inline constexpr UCHAR kDirectionOut = 0;
inline constexpr UCHAR kRecipientInterface = 1;
// A class request on the default pipe, 500 ms at most. PASSIVE_LEVEL.
[[nodiscard]] NTSTATUS ClassControlTransfer(USB_CONFIGURATION* configuration, UCHAR direction, UCHAR recipient,
                                            UCHAR request, USHORT value, USHORT index, PVOID buffer, ULONG length,
                                            ULONG* bytesTransferred);
// Selects an interface's alternate setting and rebuilds its pipe records;
// the setting already configured sends nothing. PASSIVE_LEVEL.
[[nodiscard]] NTSTATUS SelectAlternateSetting(InterfaceObject* object, UCHAR settingIndex);
// Reads a string descriptor (language 0x0409) as a terminated string. PASSIVE_LEVEL.
[[nodiscard]] NTSTATUS ReadStringDescriptor(USB_CONFIGURATION* configuration, UCHAR index, WCHAR* buffer,
                                            USHORT capacity);
// The next descriptor of `type` (0: any) after `start`, within the same interface; null when none.
const USB_COMMON_DESCRIPTOR* NextDescriptorOfType(const USB_CONFIGURATION* configuration, const void* start,
                                                  UCHAR type);
void AbortPipe(PipeRecord* pipe);
// Configures a continuous reader whose failures restart it; the caller starts the pipe's target.
[[nodiscard]] NTSTATUS ConfigureContinuousReader(PipeRecord* pipe, PFN_WDF_USB_READER_COMPLETION_ROUTINE completion,
                                                 WDFCONTEXT context);
// Starts the target of an optional reader pipe (its continuous reader runs
// from then on), or stops it cancelling the reads in flight; no pipe, nothing to do.
[[nodiscard]] NTSTATUS StartReaderPipe(PipeRecord* pipe);
void StopReaderPipe(PipeRecord* pipe);
// Counts configured pipes of an interface object.
ULONG PipeCount(const InterfaceObject* object);

// ---- vendor_channel.cpp --------------------------------------------------------------------

// Creates and initialises the channel on the vendor interface; on failure nothing is left.
[[nodiscard]] NTSTATUS VendorChannelCreate(UsbFunctionDevice* device, InterfaceObject* object);
// Releases the buffers, forgets the callbacks and stops the notification reader.
void VendorChannelDestroy(VendorChannel* channel);
[[nodiscard]] NTSTATUS OpenVendorChannel(VendorChannel* channel);
// One command to the firmware; a DCP result. PASSIVE_LEVEL; exchanges on one channel are serialised.
[[nodiscard]] ULONG VendorChannelExchange(VendorChannel* channel, USHORT category, USHORT command, PVOID in,
                                          ULONG64 inLength, PVOID out, ULONG64* outLength);
// The root driver's notification triple, published at once for the DISPATCH_LEVEL reader.
void VendorChannelSetCallbacks(VendorChannel* channel, PVOID notifyContext, PVOID clientDevice,
                               PFN_AUDIODEVICE_NOTIFICATION callback);
[[nodiscard]] NTSTATUS VendorChannelStartNotifications(VendorChannel* channel);
void VendorChannelStopNotifications(VendorChannel* channel);

// ---- clock.cpp ---------------------------------------------------------------------------

// Creates and configures the clock on the audio-control interface; on failure nothing is left.
[[nodiscard]] NTSTATUS ClockControlCreate(UsbFunctionDevice* device, InterfaceObject* object);
void ClockControlDestroy(ClockControl* clock);
[[nodiscard]] NTSTATUS ClockControlStart(ClockControl* clock);
void ClockControlStop(ClockControl* clock);
// The current clock's rate; with no current clock, success and `rate` untouched. PASSIVE_LEVEL.
[[nodiscard]] NTSTATUS GetCurrentRate(ClockControl* clock, ULONG* rate);
[[nodiscard]] NTSTATUS SetClockRate(ClockControl* clock, UCHAR clockId, ULONG rate);
// The clock commands 6/0 to 6/3; a DCP result.
[[nodiscard]] ULONG ClockCommand(UsbFunctionDevice* device, USHORT command, PVOID in, ULONG64 inLength, PVOID out,
                                 ULONG64* outLength);

// ---- stream.cpp ---------------------------------------------------------------------------------

// True while either stream may send or has URBs outstanding.
bool StreamsActive(UsbFunctionDevice* device);
// Both streams take a new rate (re-selecting their settings when asked); refused while one runs.
[[nodiscard]] NTSTATUS StreamsTakeRate(UsbFunctionDevice* device, ULONG rate, bool reselect);
