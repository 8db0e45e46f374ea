// Test equipment: a virtual-clock machine booted as the standard machine,
// with the real root driver image or its test image (which can plug stand-in
// devices), and user-mode helpers that reach it through the Win32 layer.
#pragma once

#include <dlfcn.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "platform/kernel/pnp_notify.h"
#include "platform/kmdf/fx_device.h"
#include "platform/machine/machine.h"
#include "platform/machine/pnp_children.h"
#include "platform/machine/pnp_manager.h"
#include "platform/win32/setupapi.h"
#include "platform/win32/user_process.h"
#include "platform/win32/windows.h"
#include "support/interface_path.h"
#include "support/pending_io.h"
#include "source/driver/usb/win/vexa_usb_swroot/public/asio_interface.h"
#include "source/driver/usb/win/vexa_usb_swroot/public/pal_interface.h"
#include "tests/driver/usb/win/vexa_usb_swroot/fake_device.h"
#include "tools/vexa-machine/standard_machine.h"

namespace vexa::test {

class RootMachine {
public:
    // `usbDriverDir` holds the USB function driver's image (none installed when empty);
    // `doublesDir` the MIDI child drivers' stand-ins (none when empty).
    explicit RootMachine(const std::string& driverDir, platform::MachineOptions options = {},
                         const std::string& usbDriverDir = {}, const std::string& doublesDir = {})
        : machine_(std::move(options)) {
        root_ = vexa::machine::boot_standard_machine(machine_, driverDir, usbDriverDir, doublesDir);
        if (root_->state != platform::NodeState::Started) throw std::runtime_error("the root device did not start");
        image_ = dlopen((driverDir + "/QUVVexaUSBRoot.so").c_str(), RTLD_NOW | RTLD_NOLOAD);
    }
    ~RootMachine() {
        platform::win32::set_default_process(nullptr);
        machine_.shutdown();
        if (image_ != nullptr) dlclose(image_);
    }

    platform::Machine& machine() { return machine_; }
    WDFDEVICE fdo() { return platform::kmdf::FxDevice::of(root_->fdo)->as_handle<WDFDEVICE>(); }
    platform::DevNode& root_node() { return *root_; }
    // Removes the root device and adds it again: the engine and the manager read their settings anew.
    void restart_root() {
        machine_.pnp().remove(*root_);
        add_root(u"ROOT\\QUVVexaUSBRoot\\0001");
    }
    // Removes the root device; its interfaces go with it.
    void remove_root() {
        machine_.pnp().remove(*root_);
        platform::wait_for_pnp_idle();
    }
    // Adds a root device, which the hooks reach from now on.
    platform::DevNode* add_root(const std::u16string& instanceId) {
        root_ = machine_.pnp().add_node(instanceId, {vexa::machine::kRootHardwareId}, vexa::machine::kRootService);
        platform::wait_for_pnp_idle();
        if (root_->state != platform::NodeState::Started) throw std::runtime_error("the root device did not start");
        return root_;
    }
    vexa::machine::SimulatedPorts& ports() { return ports_; }
    // The root FDO's child nodes now, in the order they arrived.
    std::vector<platform::DevNode*> children() {
        return machine_.attachment<platform::PnpChildren>().children_of(*root_);
    }

    // The test image's hooks (null with the real image).
    template <typename Fn>
    Fn hook(const char* name) {
        return image_ != nullptr ? reinterpret_cast<Fn>(dlsym(image_, name)) : nullptr;
    }
    // Both wait for the children's enumeration they start, so no test races it (an armed fault, say).
    void* plug(FakeDeviceScript* script) {
        void* device = hook<PlugDeviceFn>("VexaTestPlugDevice")(fdo(), script);
        platform::wait_for_pnp_idle();
        return device;
    }
    void unplug(void* device) {
        hook<UnplugDeviceFn>("VexaTestUnplugDevice")(fdo(), device);
        platform::wait_for_pnp_idle();
    }
    NTSTATUS notify(ULONG kind, ULONG64 param64 = 0, ULONG param32 = 0) {
        return hook<NotifyFn>("VexaTestNotify")(fdo(), kind, param64, param32);
    }
    void* add_client(TestClientLog* log) { return hook<AddClientFn>("VexaTestAddClient")(fdo(), log); }
    NTSTATUS start_client(void* client) { return hook<ClientFn>("VexaTestStartClient")(fdo(), client); }
    NTSTATUS stop_client(void* client) { return hook<ClientFn>("VexaTestStopClient")(fdo(), client); }
    void remove_client(void* client) { hook<RemoveClientFn>("VexaTestRemoveClient")(fdo(), client); }
    void period(uint32_t frames, uint64_t timeNs = 0) { hook<PeriodFn>("VexaTestPeriod")(fdo(), timeNs, frames); }
    ManagerProbe probe() {
        ManagerProbe p{};
        hook<ProbeFn>("VexaTestProbe")(fdo(), &p);
        return p;
    }
    bool set_buffer_size(uint32_t frames) { return hook<SetBufferSizeFn>("VexaTestSetBufferSize")(fdo(), frames); }
    NTSTATUS latencies(uint32_t* input, uint32_t* output) {
        return hook<LatenciesFn>("VexaTestLatencies")(fdo(), input, output);
    }
    void set_stream_state(StreamState* state) { hook<StreamStateFn>("VexaTestSetStreamState")(fdo(), state); }
    NTSTATUS notify_clients(uint32_t clientEvent) {
        return hook<NotifyClientsFn>("VexaTestNotifyClients")(fdo(), clientEvent);
    }
    NTSTATUS start_streaming() { return hook<StreamingFn>("VexaTestStartStreaming")(fdo()); }
    NTSTATUS stop_streaming() { return hook<StreamingFn>("VexaTestStopStreaming")(fdo()); }

private:
    platform::Machine machine_;
    vexa::machine::SimulatedPorts ports_;  // before the machine shuts down, after it is built
    platform::DevNode* root_ = nullptr;
    void* image_ = nullptr;
};

// Opens the root device with a file name of our choice ("\PAL", "\asio", ...).
inline HANDLE OpenRoot(const std::u16string& fileName) {
    std::u16string path = InterfacePath(GUID_DEVINTERFACE_PAL);
    std::u16string base = path.substr(0, path.rfind(u'\\'));
    return CreateFileW((base + fileName).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

inline HANDLE OpenPal() {
    return CreateFileW(InterfacePath(GUID_DEVINTERFACE_PAL).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

// A request's NTSTATUS (from the OVERLAPPED, exact where Win32 errors merge
// several statuses) and the bytes the caller received.
struct Sent {
    NTSTATUS status;
    DWORD bytes;
};

inline Sent Send(HANDLE handle, DWORD code, const void* in, DWORD inBytes, void* out, DWORD outBytes) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DeviceIoControl(handle, code, const_cast<void*>(in), inBytes, out, outBytes, nullptr, &overlapped);
    DWORD bytes = 0;
    GetOverlappedResult(handle, &overlapped, &bytes, TRUE);
    CloseHandle(overlapped.hEvent);
    return Sent{static_cast<NTSTATUS>(static_cast<ULONG>(overlapped.Internal)), bytes};
}

// A DCP command with `data`, into a reply of `replyBytes` (header included),
// preset to status 1 as the library presets it.
inline Sent Dcp(HANDLE handle, uint16_t category, uint16_t command, std::vector<uint8_t>* reply,
                const std::vector<uint8_t>& data = {}, DWORD replyBytes = 8) {
    pal::DcpRequest header{0, category, command, 0};
    const auto* headerBytes = reinterpret_cast<const uint8_t*>(&header);
    std::vector<uint8_t> request(headerBytes, headerBytes + sizeof(header));
    request.insert(request.end(), data.begin(), data.end());
    reply->assign(replyBytes, 0);
    if (replyBytes >= 4) (*reply)[0] = 1;
    return Send(handle, pal::kIoctlDcpCommand, request.data(), static_cast<DWORD>(request.size()), reply->data(),
                replyBytes);
}

inline Sent Bus(HANDLE handle, uint16_t command, std::vector<uint8_t>* reply = nullptr, DWORD replyBytes = 8,
                const std::vector<uint8_t>& data = {}) {
    std::vector<uint8_t> ignored;
    return Dcp(handle, kDcpCategoryBus, command, reply != nullptr ? reply : &ignored, data, replyBytes);
}

inline std::vector<uint8_t> U32Data(uint32_t value) {
    std::vector<uint8_t> data(4);
    std::memcpy(data.data(), &value, 4);
    return data;
}

inline uint32_t U32(const std::vector<uint8_t>& bytes, size_t offset) {
    uint32_t value;
    std::memcpy(&value, bytes.data() + offset, sizeof(value));
    return value;
}

// A pending kIoctlWaitNotification; its record is declared (so built) before the request goes out.
struct WaitRecord {
    pal::PalNotification record{};
};

struct Wait : WaitRecord, PendingIo {
    explicit Wait(HANDLE h) : PendingIo(h, pal::kIoctlWaitNotification, nullptr, 0, &record, sizeof(record)) {}
};

// The bus settings as the control panel reads them.
inline pal::BusSettingsBlock ReadSettings(HANDLE pal) {
    std::vector<uint8_t> reply;
    pal::BusSettingsBlock block{};
    if (Bus(pal, pal::kDcpBusGetSettings, &reply, 8 + sizeof(block)).status == STATUS_SUCCESS) {
        std::memcpy(&block, reply.data() + 8, sizeof(block));
    }
    return block;
}

// A registered PAL client's backlog: the notifications delivered so far, oldest first.
inline std::vector<pal::PalNotification> TakeNotifications(HANDLE pal) {
    std::vector<pal::PalNotification> records;
    for (;;) {
        Wait wait(pal);
        if (wait.pending()) return records;  // cancelled as it goes
        records.push_back(wait.record);
    }
}

inline std::vector<uint32_t> Kinds(const std::vector<pal::PalNotification>& records) {
    std::vector<uint32_t> kinds;
    for (const auto& r : records) kinds.push_back(r.kind);
    return kinds;
}

}  // namespace vexa::test
