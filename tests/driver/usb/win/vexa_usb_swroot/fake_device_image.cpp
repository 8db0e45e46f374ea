// The hooks of the root driver's test image: plug scripted devices into the
// engine as the device binding would, and send PAL notifications. With
// VEXA_TEST_FAKE_DEVICES=N in the environment, N devices arrive as soon as
// the root device's PAL interface is up (vexa-machine runs this image so).
#include <cstdlib>
#include <string>

#include "fake_device.h"
#include "platform/kmdf/fx_device.h"
#include "platform/machine/device_interfaces.h"
#include "platform/machine/machine.h"
#include "root.h"

#define TEST_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

class FakeDevice : public AudioDevice {
public:
    explicit FakeDevice(FakeDeviceScript* script) : script_(script) {}

    ULONG GetDeviceKind() override { return read([](FakeDeviceScript& s) { return s.kind; }); }
    ULONG GetClockSource() override { return read([](FakeDeviceScript& s) { return s.clock; }); }
    ULONG GetSampleRate() override { return read([](FakeDeviceScript& s) { return s.rate; }); }
    ULONG GetOutputChannelCount(ULONG) override { return read([](FakeDeviceScript& s) { return s.outputs; }); }
    ULONG GetInputChannelCount(ULONG) override { return read([](FakeDeviceScript& s) { return s.inputs; }); }

    bool SetClock(ULONG rate, ULONG clock) override {
        std::lock_guard lock(script_->lock);
        ++script_->setClocks;
        script_->lastRate = rate;
        script_->lastClock = clock;
        if (!script_->setClockOk) return false;
        script_->rate = rate;
        script_->clock = clock;
        return true;
    }

    ULONG Command(USHORT category, USHORT command, const void* data, ULONG dataBytes, void* reply,
                  ULONG64* replyBytes) override {
        std::lock_guard lock(script_->lock);
        ++script_->commands;
        script_->category = category;
        script_->command = command;
        auto* bytes = static_cast<const uint8_t*>(data);
        script_->data.assign(bytes, bytes + dataBytes);
        script_->capacity = *replyBytes;
        size_t n = std::min<size_t>(script_->reply.size(), *replyBytes);
        if (n != 0) std::memcpy(reply, script_->reply.data(), n);
        *replyBytes = script_->reply.size();
        return script_->result;
    }

private:
    template <typename Fn>
    ULONG read(Fn fn) {
        std::lock_guard lock(script_->lock);
        return fn(*script_);
    }

    FakeDeviceScript* script_;
};

FakeDeviceScript g_autoScript;  // the devices that arrive by themselves share it
uint64_t g_subscription = 0;

void PlugAuto(const platform::InterfaceRecord& record, bool arrived) {
    if (!arrived || !(record.interfaceClass == GUID_DEVINTERFACE_PAL) || record.pdo->AttachedDevice == nullptr) return;
    const char* count = std::getenv("VEXA_TEST_FAKE_DEVICES");
    auto* fx = static_cast<platform::kmdf::FxDevice*>(record.pdo->AttachedDevice->DeviceExtension);
    DEVICE_EXTENSION* extension = GetDeviceExtension(fx->as_handle<WDFDEVICE>());
    for (int i = count != nullptr ? std::atoi(count) : 0; i > 0; --i) {
        (void)extension->engine->EngineAddDevice(new FakeDevice(&g_autoScript));
        (void)extension->palClientManager->Notify(vexa::pal::kPalNotifyDeviceArrival, 0, 0);
    }
}

struct AutoPlug {
    AutoPlug() {
        if (std::getenv("VEXA_TEST_FAKE_DEVICES") != nullptr && platform::Machine::exists()) {
            g_subscription = platform::Machine::current().interfaces().subscribe(PlugAuto);
        }
    }
    ~AutoPlug() {
        if (g_subscription != 0 && platform::Machine::exists()) {
            platform::Machine::current().interfaces().unsubscribe(g_subscription);
        }
    }
} g_autoPlug;

}  // namespace

TEST_EXPORT void* VexaTestPlugDevice(WDFDEVICE fdo, FakeDeviceScript* script) {
    DEVICE_EXTENSION* extension = GetDeviceExtension(fdo);
    auto* device = new FakeDevice(script);
    (void)extension->engine->EngineAddDevice(device);
    (void)extension->palClientManager->Notify(vexa::pal::kPalNotifyDeviceArrival, 0, 0);
    return device;
}

TEST_EXPORT void VexaTestUnplugDevice(WDFDEVICE fdo, void* device) {
    DEVICE_EXTENSION* extension = GetDeviceExtension(fdo);
    (void)extension->engine->EngineRemoveDevice(static_cast<AudioDevice*>(device));
    (void)extension->palClientManager->Notify(vexa::pal::kPalNotifyDeviceRemoval, 0, 0);
}

TEST_EXPORT NTSTATUS VexaTestNotify(WDFDEVICE fdo, ULONG kind, ULONG64 param64, ULONG param32) {
    return GetDeviceExtension(fdo)->palClientManager->Notify(kind, param64, param32);
}
