// A stand-in for the outside WDM audio driver (see wdm_double.h): a KMDF
// function driver above the root driver's adapter child.
#include "wdm_double.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "platform/kmdf/wdf.h"

using namespace vexa::doubles;
using namespace vexa::child;

namespace {

constexpr uint32_t kMaxPeriodFrames = 8192;  // the longest period the root driver cuts
constexpr uint64_t kFnvPrime = 0x100000001B3ull;

WdmDoubleState& State() {
    static WdmDoubleState state;
    return state;
}

// The threads waiting for one of the double's own requests (no thread_local:
// the image is unloaded while the holder's threads live on).
std::vector<std::thread::id>& Requesting() {
    static std::vector<std::thread::id> threads;  // guarded by the state's lock
    return threads;
}

// Caller holds the state's lock.
bool InRequest() {
    auto& threads = Requesting();
    return std::find(threads.begin(), threads.end(), std::this_thread::get_id()) != threads.end();
}

// Caller holds the state's lock.
void Record(const char* what, uint32_t value, int32_t status) {
    WdmDoubleState& state = State();
    if (!state.loaded) ++state.callsWhileUnloaded;
    state.calls.push_back(WdmCall{what, KeGetCurrentIrql(), value, status});
}

void RecordLocked(const char* what, uint32_t value, int32_t status) {
    std::lock_guard guard(State().lock);
    Record(what, value, status);
}

WdmKnobs Knobs() {
    std::lock_guard guard(State().lock);
    return State().knobs;
}

struct DEVICE_CONTEXT {
    WdmDoubleDevice* device;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, GetDoubleContext)

// An internal device control to the PDO below, `bytes` of `buffer` in and out; the status.
NTSTATUS Ask(void* pdo, ULONG code, void* buffer, ULONG bytes) {
    auto* target = static_cast<DEVICE_OBJECT*>(pdo);
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    IRP* irp = IoBuildDeviceIoControlRequest(code, target, buffer, bytes, buffer, bytes, TRUE, &done, &ioStatus);
    if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    {
        std::lock_guard guard(State().lock);
        Requesting().push_back(std::this_thread::get_id());
    }
    NTSTATUS status = IoCallDriver(target, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    std::lock_guard guard(State().lock);
    auto& threads = Requesting();
    threads.erase(std::find(threads.begin(), threads.end(), std::this_thread::get_id()));
    return status;
}

// A record in a buffer of `bytes` (a knob may make it shorter or longer); the status, the reply in `record`.
template <typename Record>
NTSTATUS AskRecord(void* pdo, ULONG code, Record* record, uint32_t bytes) {
    std::vector<uint8_t> buffer(bytes > sizeof(Record) ? bytes : sizeof(Record));
    std::memcpy(buffer.data(), record, sizeof(Record));
    NTSTATUS status = Ask(pdo, code, buffer.data(), bytes);
    std::memcpy(record, buffer.data(), sizeof(Record));
    return status;
}

uint64_t ForeignAdapter(uint64_t adapter) { return adapter + 64; }

// The root driver's adapter notification (PASSIVE_LEVEL on its worker).
void Notify(void* context, uint32_t event) {
    auto* device = static_cast<WdmDoubleDevice*>(context);
    bool query = false;
    void* pdo = nullptr;
    uint64_t adapter = 0;
    {
        std::lock_guard guard(State().lock);
        Record("notify", event, 0);
        device->events.push_back(event);
        bool inRequest = InRequest();
        if (inRequest) ++device->reentrantNotifications;
        if (KeGetCurrentIrql() != PASSIVE_LEVEL) ++device->notificationsAbovePassive;
        // At the end of a change it asks again, as a driver re-reading its format would.
        query = event == kWdmEventChangeEnd && device->running && !inRequest && KeGetCurrentIrql() == PASSIVE_LEVEL;
        pdo = device->pdo;
        adapter = reinterpret_cast<uint64_t>(device->adapter);
    }
    if (!query) return;
    WdmFormatQuery format{};
    format.direction = kWdmRender;
    format.adapter = adapter;
    NTSTATUS status = AskRecord(pdo, kIoctlWdmCanChangeFormat, &format, sizeof(format));
    std::lock_guard guard(State().lock);
    Record("may-change", format.mayChange, status);
    if (NT_SUCCESS(status)) device->queriedRate = format.currentRate;
}

void FoldChecksum(uint64_t* checksum, const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) *checksum = (*checksum ^ bytes[i]) * kFnvPrime;
}

void WriteSample(int32_t value, uint32_t bytes, uint8_t* out) {
    auto bits = static_cast<uint32_t>(value);
    for (uint32_t b = 0; b < bytes; ++b) out[b] = static_cast<uint8_t>(bits >> (8 * b));
}

int32_t ReadSample(const uint8_t* in, uint32_t bytes) {
    uint32_t bits = 0;
    for (uint32_t b = 0; b < bytes; ++b) bits |= uint32_t{in[b]} << (8 * b);
    uint32_t shift = 32 - 8 * bytes;
    return static_cast<int32_t>(bits << shift) >> shift;
}

// Caller holds the lock. The frames just captured, against the render stream's signal.
void Check(WdmDoubleStream& capture, uint32_t frames) {
    const WdmStreamConfig& config = capture.config;
    uint32_t bytes = config.bits / 8;
    uint32_t frameBytes = config.channels * bytes;
    const WdmDoubleStream* render = nullptr;
    for (const WdmDoubleStream& s : capture.device->streams) {
        if (s.render && s.open) render = &s;
    }
    double fullScale = static_cast<double>(1u << (config.bits - 1));
    uint8_t expected[4];
    for (uint32_t f = 0; f < frames; ++f, ++capture.captured) {
        const uint8_t* frame = capture.buffer.data() + size_t{f} * frameBytes;
        if (capture.firstSound < 0) {
            bool sound = false;
            for (uint32_t i = 0; i < frameBytes; ++i) sound = sound || frame[i] != 0;
            if (!sound) continue;
            capture.firstSound = static_cast<int64_t>(capture.captured);
        }
        uint64_t n = capture.captured - static_cast<uint64_t>(capture.firstSound);
        if (render == nullptr || n >= render->frames) continue;  // past what was played
        ++capture.checked;
        for (uint32_t c = 0; c < config.channels; ++c) {
            int32_t want = WdmSignalSample(render->config, n, c);
            int32_t got = ReadSample(frame + c * bytes, bytes);
            WriteSample(want, bytes, expected);
            FoldChecksum(&capture.expectedChecksum, expected, bytes);
            FoldChecksum(&capture.checksum, frame + c * bytes, bytes);
            if (got != want) {
                if (capture.firstMismatch < 0) capture.firstMismatch = static_cast<int64_t>(capture.captured);
                ++capture.mismatches;
            }
            if (c == 0) {
                double level = got / fullScale;
                capture.sumSquares += level * level;
                if (std::fabs(level) > capture.peak) capture.peak = std::fabs(level);
            }
        }
    }
}

// The root driver's per-period call (DISPATCH_LEVEL, under its client lock):
// exactly the bytes asked, in one transfer.
void Period(void* context, uint32_t bytes) {
    auto* stream = static_cast<WdmDoubleStream*>(context);
    std::lock_guard guard(State().lock);
    if (!State().loaded) ++State().callsWhileUnloaded;
    ++stream->periods;
    KIRQL irql = KeGetCurrentIrql();
    if (irql > stream->maxIrql) stream->maxIrql = irql;
    uint32_t sampleBytes = stream->config.bits / 8;
    uint32_t frameBytes = stream->config.channels * sampleBytes;
    if (!stream->open || bytes % frameBytes != 0 || bytes > stream->buffer.size()) {
        ++stream->oddRequests;
        return;
    }
    uint32_t frames = bytes / frameBytes;
    if (stream->render) {
        uint8_t* out = stream->buffer.data();
        for (uint32_t f = 0; f < frames; ++f) {
            for (uint32_t c = 0; c < stream->config.channels; ++c, out += sampleBytes) {
                WriteSample(WdmSignalSample(stream->config, stream->frames + f, c), sampleBytes, out);
            }
        }
    }
    stream->transfer(stream->stream, stream->buffer.data(), bytes);
    if (!stream->render) Check(*stream, frames);
    stream->frames += frames;
}

// PASSIVE_LEVEL. Opens one stream on `device` and runs it; no lock held while the root driver works.
int32_t OpenStream(WdmDoubleDevice* device, const WdmStreamConfig& config, bool render, const WdmKnobs& knobs) {
    WdmDoubleStream* stream;
    void* pdo;
    uint64_t adapter;
    {
        std::lock_guard guard(State().lock);
        stream = &device->streams.emplace_back();
        stream->device = device;
        stream->render = render;
        stream->config = config;
        stream->buffer.assign(size_t{kMaxPeriodFrames} * config.channels * (config.bits / 8), 0);
        pdo = device->pdo;
        adapter = reinterpret_cast<uint64_t>(device->adapter);
    }
    WdmOpenStream request{};
    request.channelCount = config.channels;
    request.bitsPerSample = config.bits;
    request.direction = render ? kWdmRender : kWdmCapture;
    request.sampleRate = config.rate;
    request.streamCallback = reinterpret_cast<uint64_t>(&Period);
    request.streamContext = reinterpret_cast<uint64_t>(stream);
    request.adapter = knobs.foreignAdapter ? ForeignAdapter(adapter) : adapter;
    NTSTATUS status = AskRecord(pdo, kIoctlWdmOpenStream, &request, knobs.openStreamBytes);
    uint64_t transfer = 0;
    uint64_t setState = 0;
    std::memcpy(&transfer, reinterpret_cast<uint8_t*>(&request) + kWdmStreamTransferOffset, sizeof(transfer));
    std::memcpy(&setState, reinterpret_cast<uint8_t*>(&request) + kWdmStreamSetStateOffset, sizeof(setState));
    {
        std::lock_guard guard(State().lock);
        Record("open-stream", render ? kWdmRender : kWdmCapture, status);
        stream->openStatus = status;
        if (!NT_SUCCESS(status)) return status;
        stream->stream = reinterpret_cast<void*>(request.stream);
        stream->transfer = reinterpret_cast<WdmStreamTransferFn>(transfer);
        stream->setState = reinterpret_cast<WdmStreamSetStateFn>(setState);
        stream->open = true;
        if (render) {
            int64_t captured = 0;
            for (const WdmDoubleStream& s : device->streams) {
                if (!s.render && s.open) captured = static_cast<int64_t>(s.captured);
            }
            device->captureAtRenderStart = captured;
        }
    }
    status = stream->setState(stream->stream, kWdmStateRun);
    std::lock_guard guard(State().lock);
    Record("state", kWdmStateRun, status);
    stream->startStatus = status;
    return status;
}

int32_t OpenStreams(WdmDoubleDevice* device, const WdmStreamConfig& config) {
    WdmKnobs knobs = Knobs();
    // Capture first, so the first frame played is surely heard.
    NTSTATUS status = OpenStream(device, config, false, knobs);
    NTSTATUS render = OpenStream(device, config, true, knobs);
    return NT_SUCCESS(status) ? render : status;
}

// PASSIVE_LEVEL: every open stream stopped and closed.
int32_t CloseStreams(WdmDoubleDevice* device) {
    std::vector<WdmDoubleStream*> open;
    WdmCloseStreamFn closeStream;
    {
        std::lock_guard guard(State().lock);
        for (WdmDoubleStream& s : device->streams) {
            if (s.open) open.push_back(&s);
        }
        closeStream = device->closeStream;
    }
    NTSTATUS result = STATUS_SUCCESS;
    // Render first: the capture hears the end of what was played.
    for (auto it = open.rbegin(); it != open.rend(); ++it) {
        WdmDoubleStream* s = *it;
        NTSTATUS stopped = s->setState(s->stream, kWdmStateStop);
        {
            std::lock_guard guard(State().lock);
            s->open = false;  // no more periods are taken
            Record("state", kWdmStateStop, stopped);
        }
        NTSTATUS closed = closeStream(s->stream);
        RecordLocked("close-stream", s->render ? kWdmRender : kWdmCapture, closed);
        if (NT_SUCCESS(result) && !NT_SUCCESS(closed)) result = closed;
    }
    return result;
}

// PASSIVE_LEVEL: version, adapter, the format question; streams when told.
NTSTATUS DoubleD0Entry(WDFDEVICE wdfDevice, WDF_POWER_DEVICE_STATE) {
    WdmDoubleDevice* device = GetDoubleContext(wdfDevice)->device;
    WdmKnobs knobs = Knobs();
    void* pdo = device->pdo;
    VersionReply version{};
    NTSTATUS status = AskRecord(pdo, kIoctlWdmGetVersion, &version, knobs.versionBytes);
    {
        std::lock_guard guard(State().lock);
        Record("version", version.interfaceVersion, status);
        device->versionStatus = status;
        device->interfaceVersion = version.interfaceVersion;
    }
    if (!NT_SUCCESS(status) || version.interfaceVersion != kWdmInterfaceVersion) return STATUS_SUCCESS;

    WdmOpen open{};
    open.notify = reinterpret_cast<uint64_t>(&Notify);
    open.notifyContext = reinterpret_cast<uint64_t>(device);
    status = AskRecord(pdo, kIoctlWdmOpen, &open, knobs.openBytes);
    {
        std::lock_guard guard(State().lock);
        Record("open", 0, status);
        device->openStatus = status;
        if (!NT_SUCCESS(status)) return STATUS_SUCCESS;  // it stays, unused, as a driver that gave up would
        device->reply = open;
        device->adapter = reinterpret_cast<void*>(open.adapter);
        device->closeAdapter = reinterpret_cast<WdmCloseAdapterFn>(open.closeAdapter);
        device->closeStream = reinterpret_cast<WdmCloseStreamFn>(open.closeStream);
        device->running = true;
    }
    if (knobs.openTwice) {
        WdmOpen again{};
        again.notify = open.notify;
        again.notifyContext = open.notifyContext;
        NTSTATUS second = AskRecord(pdo, kIoctlWdmOpen, &again, knobs.openBytes);
        std::lock_guard guard(State().lock);
        Record("open-again", 0, second);
        device->secondOpenStatus = second;
    }
    uint64_t adapter = knobs.foreignAdapter ? ForeignAdapter(open.adapter) : open.adapter;
    for (uint32_t direction : {kWdmRender, kWdmCapture}) {
        WdmFormatQuery format{};
        format.direction = direction;
        format.adapter = adapter;
        NTSTATUS asked = AskRecord(pdo, kIoctlWdmCanChangeFormat, &format, knobs.formatBytes);
        std::lock_guard guard(State().lock);
        Record("may-change", format.mayChange, asked);
        int32_t answer = NT_SUCCESS(asked) ? static_cast<int32_t>(format.mayChange) : asked;
        (direction == kWdmRender ? device->renderMayChange : device->captureMayChange) = answer;
        if (NT_SUCCESS(asked)) device->queriedRate = format.currentRate;
    }
    if (knobs.speakerConfig != 0) {
        WdmSpeakerConfig speaker{adapter, knobs.speakerConfig};
        NTSTATUS set = AskRecord(pdo, kIoctlWdmSetSpeakerConfig, &speaker, knobs.speakerBytes);
        RecordLocked("speaker", knobs.speakerConfig, set);
    }
    if (knobs.autoStreams) (void)OpenStreams(device, knobs.streams);
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL: streams and adapter closed (unless told never to close).
NTSTATUS DoubleD0Exit(WDFDEVICE wdfDevice, WDF_POWER_DEVICE_STATE) {
    WdmDoubleDevice* device = GetDoubleContext(wdfDevice)->device;
    bool neverClose;
    bool opened;
    {
        std::lock_guard guard(State().lock);
        neverClose = State().knobs.neverClose;
        opened = device->running;
        device->running = false;
        if (neverClose) {
            for (WdmDoubleStream& s : device->streams) s.open = false;  // it moves no more audio either way
        }
    }
    if (neverClose || !opened) return STATUS_SUCCESS;
    (void)CloseStreams(device);
    NTSTATUS closed = device->closeAdapter(device->adapter);
    RecordLocked("close-adapter", 0, closed);
    return STATUS_SUCCESS;
}

NTSTATUS DoubleDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDeviceD0Entry = DoubleD0Entry;
    callbacks.EvtDeviceD0Exit = DoubleD0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &callbacks);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DEVICE_CONTEXT);
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status)) return status;
    std::lock_guard guard(State().lock);
    WdmDoubleDevice* record = State().devices.emplace_back(std::make_unique<WdmDoubleDevice>()).get();
    record->pdo = WdfDeviceWdmGetPhysicalDevice(device);
    GetDoubleContext(device)->device = record;
    Record("add", 0, status);
    return status;
}

void DoubleUnload(WDFDRIVER) {
    std::lock_guard guard(State().lock);
    Record("unload", 0, 0);
    State().loaded = false;
    ++State().unloads;
}

WdmDoubleDevice* Running() {
    std::lock_guard guard(State().lock);
    return State().running();
}

}  // namespace

#define DOUBLE_EXPORT extern "C" __attribute__((visibility("default")))

DOUBLE_EXPORT WdmDoubleState* WdmDoubleGetState() { return &State(); }

DOUBLE_EXPORT int32_t WdmDoubleOpenStreams(const WdmStreamConfig* config) {
    WdmDoubleDevice* device = Running();
    return device != nullptr ? OpenStreams(device, *config) : STATUS_DEVICE_NOT_CONNECTED;
}

DOUBLE_EXPORT int32_t WdmDoubleCloseStreams() {
    WdmDoubleDevice* device = Running();
    return device != nullptr ? CloseStreams(device) : STATUS_DEVICE_NOT_CONNECTED;
}

DOUBLE_EXPORT NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    {
        std::lock_guard guard(State().lock);
        State().loaded = true;
        ++State().loads;
    }
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DoubleDeviceAdd);
    config.EvtDriverUnload = DoubleUnload;
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, nullptr);
}
