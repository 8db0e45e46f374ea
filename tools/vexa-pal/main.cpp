// vexa-pal: talks to the root driver's PAL interface from another process,
// the way the control panel's library does: reads the versions and the bus
// settings, watches the notifications, and sets the sample rate, the buffer
// size and the operation mode with the root's bus commands.
//
//   vexa-pal [--socket PATH] version|settings|watch
//   vexa-pal [--socket PATH] rate HZ|buffer-size FRAMES|mode N
#include <signal.h>

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32/user_process.h"
#include "platform/win32/windows.h"
#include "source/driver/usb/win/vexa_usb_swroot/public/pal_interface.h"
#include "tools/common/interface_path.h"

using namespace vexa::pal;

namespace {

constexpr int kUsageError = 2;

int Usage() {
    std::fprintf(stderr,
                 "usage: vexa-pal [--socket PATH] version|settings|watch\n"
                 "       vexa-pal [--socket PATH] rate HZ|buffer-size FRAMES|mode N\n");
    return kUsageError;
}

// A setter on the command line: its bus command and what it reads back.
struct Setter {
    const char* name;
    uint16_t command;
    const char* what;
    const char* unit;
    uint32_t BusSettingsBlock::*field;
};

const Setter kSetters[] = {
    {"rate", kDcpBusSetSampleRate, "sample rate", "Hz", &BusSettingsBlock::sampleRate},
    {"buffer-size", kDcpBusSetBufferSize, "buffer size", "frames", &BusSettingsBlock::bufferSize},
    {"mode", kDcpBusSetOperationMode, "operation mode", "(mode 0-4)", &BusSettingsBlock::operationMode},
};

const Setter* FindSetter(const std::string& name) {
    for (const Setter& setter : kSetters) {
        if (name == setter.name) return &setter;
    }
    return nullptr;
}

std::u16string PalPath() { return vexa::tools::InterfacePath(GUID_DEVINTERFACE_PAL); }

bool BusCommand(HANDLE pal, uint16_t command, void* reply, DWORD replyBytes) {
    DcpRequest request{0, kDcpCategoryBus, command, 0};
    return DeviceIoControl(pal, kIoctlDcpCommand, &request, sizeof(request), reply, replyBytes, nullptr, nullptr);
}

bool ReadSettings(HANDLE pal, BusSettingsBlock* block) {
    struct {
        DcpReply header;
        BusSettingsBlock block;
    } reply{};
    if (!BusCommand(pal, kDcpBusGetSettings, &reply, sizeof(reply))) return false;
    *block = reply.block;
    return true;
}

// The root takes a setting it can apply and leaves the others as they were
// (the command succeeds either way), so what it took is read back.
int Set(HANDLE pal, const Setter& setter, uint32_t value) {
    struct {
        DcpRequest header;
        uint32_t value;
    } request{{0, kDcpCategoryBus, setter.command, 0}, value};
    DcpReply reply{1, 0};
    if (!DeviceIoControl(pal, kIoctlDcpCommand, &request, sizeof(request), &reply, sizeof(reply), nullptr, nullptr)) {
        std::fprintf(stderr, "vexa-pal: setting the %s failed (error %u)\n", setter.what, GetLastError());
        return 1;
    }
    BusSettingsBlock block{};
    if (!ReadSettings(pal, &block)) {
        std::fprintf(stderr, "vexa-pal: reading the bus settings failed (error %u)\n", GetLastError());
        return 1;
    }
    if (block.currentDeviceId == 0) {
        std::fprintf(stderr, "vexa-pal: no interface is plugged in: nothing to set\n");
        return 1;
    }
    uint32_t now = block.*setter.field;
    std::printf("%s: %u %s\n", setter.what, now, setter.unit);
    if (now != value) {
        std::fprintf(stderr, "vexa-pal: the root driver kept the %s at %u (%u is not one it takes now)\n",
                     setter.what, now, value);
        return 1;
    }
    return 0;
}

int Version(HANDLE pal) {
    ApiVersionReply reply{};
    DWORD bytes = 0;
    if (!DeviceIoControl(pal, kIoctlGetApiVersion, nullptr, 0, &reply, sizeof(reply), &bytes, nullptr)) {
        std::fprintf(stderr, "vexa-pal: the version request failed (error %u)\n", GetLastError());
        return 1;
    }
    uint64_t v = reply.driverVersion;
    std::printf("PAL interface version: 0x%04X\n", reply.ioctlAPIVersion);
    std::printf("lowest compatible version: 0x%04X\n", reply.ioctlMinCompatibleAPIVersion);
    std::printf("driver version: %u.%u.%u.%u%s%s\n", VersionMajor(v), VersionMinor(v), VersionSub(v),
                VersionBuild(v), VersionIsLocal(v) ? " local" : "", VersionIsBeta(v) ? " beta" : "");
    return 0;
}

int Settings(HANDLE pal) {
    BusSettingsBlock b{};
    if (!ReadSettings(pal, &b)) {
        std::fprintf(stderr, "vexa-pal: reading the bus settings failed (error %u)\n", GetLastError());
        return 1;
    }
    std::printf("current device: 0x%016" PRIX64 "%s\n", b.currentDeviceId, b.currentDeviceId == 0 ? " (none)" : "");
    std::printf("clock source: %u (clock id)\n", b.clockSource);
    std::printf("sample rate: %u Hz\n", b.sampleRate);
    std::printf("operation mode: %u (mode 0-4)\n", b.operationMode);
    std::printf("buffer size: %u frames\n", b.bufferSize);
    std::printf("minimum buffer size: %u frames\n", b.minBufferSize);
    std::printf("maximum buffer size: %u frames\n", b.maxBufferSize);
    std::printf("output channels: %u channels\n", b.outputChannels);
    std::printf("input channels: %u channels\n", b.inputChannels);
    std::printf("device count: %u devices\n", b.deviceCount);
    for (uint32_t i = 0; i < kMaxBusDevices; ++i) {
        std::printf("device id %u: 0x%016" PRIX64 "\n", i, b.deviceIds[i]);
    }
    return 0;
}

const char* KindName(uint32_t kind) {
    switch (kind) {
        case kPalNotifyDeviceArrival: return "device arrival";
        case kPalNotifyDeviceRemoval: return "device removal";
        case kPalNotifyBusChanged: return "bus changed";
        case kPalNotifyDeviceEvent: return "device event";
        default: return "unknown";
    }
}

int Watch(HANDLE pal) {
    DcpReply registered{1, 0};
    if (!BusCommand(pal, kDcpBusRegisterClient, &registered, sizeof(registered))) {
        std::fprintf(stderr, "vexa-pal: registering for notifications failed (error %u)\n", GetLastError());
        return 1;
    }
    // A stop signal unregisters, which cancels the pending wait and ends the loop.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    static std::atomic<bool> stopping{false};
    std::thread stopper([pal, stopSignals] {
        int received = 0;
        sigwait(&stopSignals, &received);
        stopping.store(true);
        DcpReply reply{1, 0};
        BusCommand(pal, kDcpBusUnregisterClient, &reply, sizeof(reply));
    });
    stopper.detach();
    std::printf("watching notifications (Ctrl-C to stop)\n");
    std::fflush(stdout);
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (;;) {
        PalNotification record{};
        OVERLAPPED overlapped{};
        overlapped.hEvent = event;
        DWORD bytes = 0;
        if (!DeviceIoControl(pal, kIoctlWaitNotification, nullptr, 0, &record, sizeof(record), nullptr, &overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            break;
        }
        if (!GetOverlappedResult(pal, &overlapped, &bytes, TRUE)) break;
        std::printf("notification: %s (kind %u, param32 0x%08X, param64 0x%016" PRIX64 ")\n", KindName(record.kind),
                    record.kind, record.param32, record.param64);
        std::fflush(stdout);
    }
    DWORD error = GetLastError();
    CloseHandle(event);
    // A wait sent just after the stop unregistered fails as unregistered: that is a stop too.
    if (error == ERROR_OPERATION_ABORTED || error == ERROR_CANCELLED || stopping.load()) {
        std::printf("stopped\n");
        return 0;
    }
    std::fprintf(stderr, "vexa-pal: waiting for a notification failed (error %u)\n", error);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string socketPath = platform::win32::default_socket_path();
    std::string command;
    const Setter* setter = nullptr;
    uint32_t value = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--socket" && i + 1 < argc) {
            socketPath = argv[++i];
        } else if (command.empty() && (arg == "version" || arg == "settings" || arg == "watch")) {
            command = arg;
        } else if (command.empty() && FindSetter(arg) != nullptr && i + 1 < argc) {
            command = arg;
            setter = FindSetter(arg);
            char* end = nullptr;
            unsigned long parsed = std::strtoul(argv[++i], &end, 10);
            if (end == argv[i] || *end != 0 || parsed > UINT32_MAX) return Usage();
            value = static_cast<uint32_t>(parsed);
        } else {
            return Usage();
        }
    }
    if (command.empty()) return Usage();

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    if (command == "watch") pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::string error;
    auto process = platform::win32::connect_to_machine(socketPath, false, "vexa-pal", &error);
    if (!process) {
        std::fprintf(stderr, "vexa-pal: no machine is running at %s (%s); start one with vexa-machine\n",
                     socketPath.c_str(), error.c_str());
        return 1;
    }
    platform::win32::set_default_process(process);

    std::u16string path = PalPath();
    if (path.empty()) {
        std::fprintf(stderr, "vexa-pal: the root driver's PAL interface is not present\n");
        return 1;
    }
    HANDLE pal = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    if (pal == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "vexa-pal: cannot open the PAL interface (error %u)\n", GetLastError());
        return 1;
    }
    int result = setter != nullptr         ? Set(pal, *setter, value)
                 : command == "version"  ? Version(pal)
                 : command == "settings" ? Settings(pal)
                                         : Watch(pal);
    CloseHandle(pal);
    platform::win32::set_default_process(nullptr);
    return result;
}
