// Every I/O control the root driver's control device takes from user mode,
// sent through the Win32 layer by a 64-bit and a 32-bit process on "\PAL" and
// "\ASIO" handles, with lengths and contents from the input, between clock
// steps, handle reopenings and an unplug and replug of the interface. After
// the input every handle closes; each request must have completed by then,
// and the pool must be balanced once the machine has shut down.
#include <array>
#include <memory>
#include <vector>

#include "fuzz_support.h"
#include "platform/machine/machine.h"
#include "support/root_machine.h"

namespace {

using namespace vexa::pal;
using namespace vexa::asio;
using vexa::fuzz::Fail;
using vexa::fuzz::Reader;

// The codes the driver accepts, with the lengths a well-behaved caller uses.
// New codes go here.
struct Code {
    uint32_t code;
    uint32_t inputBytes;
    uint32_t outputBytes;
};
constexpr Code kCodes[] = {
    {kIoctlGetApiVersion, 0, sizeof(ApiVersionReply)},
    {kIoctlGetDeviceKind, 0, kDeviceKindBytes},
    {kIoctlDcpCommand, sizeof(DcpRequest) + 8, sizeof(DcpReply) + sizeof(BusSettingsBlock)},
    {kIoctlWaitNotification, 0, sizeof(PalNotification)},
    {kIoctlAsioGetVersion, 0, sizeof(AsioVersionReply)},
    {kIoctlAsioGetInfo, sizeof(AsioDeviceInfo), sizeof(AsioDeviceInfo)},
    {kIoctlAsioOpen, sizeof(AsioOpenRequest), sizeof(AsioOpenRequest)},
    {kIoctlAsioClose, sizeof(AsioRequest), sizeof(AsioRequest)},
    {kIoctlAsioCreateBuffers, sizeof(AsioCreateBuffersRequest), sizeof(AsioCreateBuffersRequest)},
    {kIoctlAsioDisposeBuffers, sizeof(AsioRequest), sizeof(AsioRequest)},
    {kIoctlAsioStart, sizeof(AsioRequest), sizeof(AsioRequest)},
    {kIoctlAsioStop, sizeof(AsioRequest), sizeof(AsioRequest)},
    {kIoctlAsioGetBufferSize, sizeof(AsioBufferSizeReply), sizeof(AsioBufferSizeReply)},
    {kIoctlAsioCanSampleRate, sizeof(AsioRequest), sizeof(AsioRequest)},
    {kIoctlAsioSetSampleRate, sizeof(AsioRequest), sizeof(AsioRequest)},
};

// DCP categories and commands worth reaching: the root's own, the USB
// function driver's (refused from user mode), the clock and the firmware's.
constexpr std::array<std::pair<uint16_t, uint16_t>, 14> kDcpCommands{{
    {kDcpCategoryBus, kDcpBusRegisterClient},
    {kDcpCategoryBus, kDcpBusUnregisterClient},
    {kDcpCategoryBus, kDcpBusGetSettings},
    {kDcpCategoryBus, kDcpBusSetSampleRate},
    {kDcpCategoryBus, kDcpBusSetClockSource},
    {kDcpCategoryBus, kDcpBusSetOperationMode},
    {kDcpCategoryBus, kDcpBusSetBufferSize},
    {kDcpCategoryBus, kDcpBusGetClientCounts},
    {kDcpCategoryUsbDevice, 0},
    {kDcpCategoryClock, 0},
    {kDcpCategoryClock, 3},
    {kDcpCategoryClock, 4},
    {0, 2},
    {0, 0},
}};

constexpr size_t kMaxOperations = 48;
constexpr uint32_t kMaxRandomLength = 32 * 1024;
constexpr uint64_t kClockStepMs = 10;
constexpr size_t kEventsPerProcess = 4;

// One overlapped request and the buffers it owns until it completes.
struct Request {
    HANDLE handle = nullptr;
    std::vector<uint8_t> input;
    std::vector<uint8_t> output;
    OVERLAPPED overlapped{};

    bool pending() const {
        return static_cast<NTSTATUS>(__atomic_load_n(&overlapped.Internal, __ATOMIC_ACQUIRE)) == STATUS_PENDING;
    }
};

struct Caller {
    Caller(bool is32Bit, const char16_t* fileName)
        : process(platform::win32::create_local_process(is32Bit, "host")), is32Bit(is32Bit), fileName(fileName) {}

    std::shared_ptr<platform::win32::UserProcess> process;
    bool is32Bit;
    const char16_t* fileName;
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::vector<HANDLE> events;
    std::vector<std::unique_ptr<Request>> requests;
};

void Open(Caller& caller) {
    platform::win32::ScopedProcess as(caller.process);
    caller.handle = vexa::test::OpenRoot(caller.fileName);
}

// Closes the handle: whatever it still had pending must complete with it.
void Close(Caller& caller) {
    platform::win32::ScopedProcess as(caller.process);
    if (caller.handle != INVALID_HANDLE_VALUE) CloseHandle(caller.handle);
    caller.handle = INVALID_HANDLE_VALUE;
    for (auto& request : caller.requests) {
        if (request->pending()) Fail("a request was still pending after its handle closed");
        CloseHandle(request->overlapped.hEvent);
    }
    caller.requests.clear();
}

void Send(Caller& caller, Reader& in) {
    size_t entry = in.pick(std::size(kCodes) + 1);
    Code code = entry < std::size(kCodes) ? kCodes[entry] : Code{in.u32(), 0, 0};
    uint32_t inputBytes = code.inputBytes;
    uint32_t outputBytes = code.outputBytes;
    switch (in.u8() % 4) {
        case 0:
            break;
        case 1: {  // a few bytes off the exact lengths
            inputBytes = static_cast<uint32_t>(std::max<int64_t>(0, int64_t{inputBytes} + in.u8() % 9 - 4));
            outputBytes = static_cast<uint32_t>(std::max<int64_t>(0, int64_t{outputBytes} + in.u8() % 9 - 4));
            break;
        }
        case 2:
            inputBytes = in.u16() % kMaxRandomLength;
            outputBytes = in.u16() % kMaxRandomLength;
            break;
        default:
            inputBytes = 0;
            outputBytes = 0;
            break;
    }
    auto request = std::make_unique<Request>();
    request->input.resize(inputBytes);
    request->output.resize(outputBytes);
    in.fill(request->input.data(), std::min<size_t>(inputBytes, 64));
    uint8_t patch = in.u8();
    if (code.code == kIoctlDcpCommand && inputBytes >= sizeof(DcpRequest) && (patch & 1) != 0) {
        auto [category, command] = kDcpCommands[in.pick(kDcpCommands.size())];
        DcpRequest header{0, category, command, 0};
        std::memcpy(request->input.data(), &header, sizeof(header));
    }
    if (code.code == kIoctlAsioOpen && inputBytes >= sizeof(AsioOpenRequest) && (patch & 2) != 0) {
        // Real event handles in the slots, as the ASIO driver fills them.
        size_t offsets[] = {offsetof(AsioOpenRequest, switchEvent), offsetof(AsioOpenRequest, resetEvent),
                            offsetof(AsioOpenRequest, resyncEvent), offsetof(AsioOpenRequest, latencyEvent)};
        for (size_t k = 0; k < kEventsPerProcess; ++k) {
            uint64_t value = reinterpret_cast<uint64_t>(caller.events[k]);
            std::memcpy(request->input.data() + offsets[k], &value, caller.is32Bit ? 4 : 8);
        }
    }
    platform::win32::ScopedProcess as(caller.process);
    request->handle = caller.handle;
    request->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DeviceIoControl(caller.handle, code.code, request->input.empty() ? nullptr : request->input.data(), inputBytes,
                    request->output.empty() ? nullptr : request->output.data(), outputBytes, nullptr,
                    &request->overlapped);
    caller.requests.push_back(std::move(request));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vexa::fuzz::KeepImagesLoaded({VEXA_DRIVER_DIR "/QUVVexaUSBRoot.so", VEXA_USB_DRIVER_DIR "/QUVVexaUSBDevice.so"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vexa::fuzz::PoolBalance pool;
    {
        vexa::test::RootMachine root(VEXA_DRIVER_DIR, {}, VEXA_USB_DRIVER_DIR);
        root.ports().plug(platform::device::VexaModel::CantileQe);
        std::array<Caller, 4> callers{{{false, u"\\PAL"}, {true, u"\\PAL"}, {false, u"\\ASIO"}, {true, u"\\ASIO"}}};
        for (Caller& caller : callers) {
            platform::win32::ScopedProcess as(caller.process);
            for (size_t k = 0; k < kEventsPerProcess; ++k) caller.events.push_back(CreateEventW(nullptr, FALSE, FALSE, nullptr));
            Open(caller);
        }
        Reader in(data, size);
        bool plugged = true;
        for (size_t op = 0; op < kMaxOperations && !in.empty(); ++op) {
            uint8_t what = in.u8();
            Caller& caller = callers[what % callers.size()];
            switch ((what >> 2) % 8) {
                case 5:
                    root.machine().clock().run_for(platform::Milliseconds(kClockStepMs * (1 + in.u8() % 16)));
                    break;
                case 6:
                    Close(caller);
                    Open(caller);
                    break;
                case 7:
                    if (plugged) {
                        root.ports().unplug(root.ports().ports().front().number);
                    } else {
                        root.ports().plug(in.u8() % 2 ? platform::device::VexaModel::CantileQk
                                                       : platform::device::VexaModel::CantileQe);
                    }
                    plugged = !plugged;
                    break;
                default:
                    if (caller.handle != INVALID_HANDLE_VALUE) Send(caller, in);
                    break;
            }
        }
        root.machine().clock().run_for(platform::Milliseconds(kClockStepMs));
        for (Caller& caller : callers) {
            Close(caller);
            platform::win32::ScopedProcess as(caller.process);
            for (HANDLE event : caller.events) CloseHandle(event);
        }
    }
    pool.check();
    return 0;
}
