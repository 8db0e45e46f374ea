// The hooks of the root driver's test image: plug scripted devices into the
// engine as the device binding would, send PAL notifications and drive
// streaming (the clients' hooks are in test_client.cpp).
#include <cstring>
#include <mutex>

#include "control/root.h"
#include "fake_device.h"

#define TEST_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Answers commands from the script instead of a USB function driver; the
// engine treats it as any bound proxy.
class FakeDevice : public UsbAudioDeviceTarget {
public:
    FakeDevice(FakeDeviceScript* script, WDFDEVICE fdo, AudioEngine* engine) : script_(script) {
        AttachOwner(fdo, engine->OwnerLink());
    }

    ULONG GetDeviceKind() override { return read([](FakeDeviceScript& s) { return s.kind; }); }
    ULONG GetClockSource() override { return read([](FakeDeviceScript& s) { return s.clock; }); }
    ULONG GetSampleRate() override { return read([](FakeDeviceScript& s) { return s.rate; }); }
    ULONG GetOutputChannelCount(ULONG) override { return read([](FakeDeviceScript& s) { return s.outputs; }); }
    ULONG GetInputChannelCount(ULONG) override { return read([](FakeDeviceScript& s) { return s.inputs; }); }
    USHORT GetMidiInPortCount() override {
        return static_cast<USHORT>(read([](FakeDeviceScript& s) { return ULONG{s.midiInPorts}; }));
    }
    USHORT GetMidiOutPortCount() override {
        return static_cast<USHORT>(read([](FakeDeviceScript& s) { return ULONG{s.midiOutPorts}; }));
    }
    // It lists whatever the engine asks for.
    ULONG GetSampleRateCount() override { return 1; }
    bool GetSampleRateAt(ULONG index, ULONG* rate) override {
        if (index != 0) return false;
        *rate = GetSampleRate();
        return true;
    }

    bool SetClock(ULONG rate, USHORT clock) override {
        std::lock_guard lock(script_->lock);
        ++script_->setClocks;
        script_->lastRate = rate;
        script_->lastClock = clock;
        if (!script_->setClockOk) return false;
        script_->rate = rate;
        script_->clock = clock;
        return true;
    }

    ULONG SendCommand(USHORT category, USHORT command, const void* data, ULONG64 dataBytes, void* reply,
                      ULONG64* replyBytes) override {
        std::lock_guard lock(script_->lock);
        ++script_->commands;
        script_->category = category;
        script_->command = command;
        auto* bytes = static_cast<const uint8_t*>(data);
        script_->data.assign(bytes, bytes + dataBytes);
        script_->capacity = replyBytes != nullptr ? *replyBytes : 0;
        if (replyBytes != nullptr) {
            size_t n = std::min<size_t>(script_->reply.size(), *replyBytes);
            if (n != 0) std::memcpy(reply, script_->reply.data(), n);
            *replyBytes = script_->reply.size();
        }
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

void* Plug(WDFDEVICE fdo, FakeDeviceScript* script) {
    AudioEngine* engine = GetDeviceExtension(fdo)->engine;
    auto* device = new FakeDevice(script, fdo, engine);
    if (device == nullptr) return nullptr;  // the pool refused
    NTSTATUS status = engine->WithBindingLock([&] { return engine->EngineAttachDevice(device); });
    return NT_SUCCESS(status) ? device : nullptr;
}

}  // namespace

TEST_EXPORT void* VexaTestPlugDevice(WDFDEVICE fdo, FakeDeviceScript* script) { return Plug(fdo, script); }

// As the target's removal does it.
TEST_EXPORT void VexaTestUnplugDevice(WDFDEVICE fdo, void* device) {
    DEVICE_EXTENSION* extension = GetDeviceExtension(fdo);
    auto* proxy = static_cast<UsbAudioDeviceTarget*>(device);
    extension->engine->WithBindingLock([&] {
        proxy->Unbind();
        (void)extension->engine->EngineRemoveDevice(proxy);
        (void)extension->palClientManager->Notify(vexa::pal::kPalNotifyDeviceRemoval, 0, 0);
    });
}

TEST_EXPORT NTSTATUS VexaTestNotify(WDFDEVICE fdo, ULONG kind, ULONG64 param64, ULONG param32) {
    return GetDeviceExtension(fdo)->palClientManager->Notify(kind, param64, param32);
}

TEST_EXPORT NTSTATUS VexaTestAddChild(WDFDEVICE fdo, const char16_t* hardwareId, ULONG64 hardwareIdLength,
                                      ULONG serial, void* context) {
    return AddChild(fdo, hardwareId, hardwareIdLength, serial, context);
}

TEST_EXPORT bool VexaTestCompareChildren(const char16_t* firstId, ULONG64 firstLength, ULONG firstSerial,
                                         void* firstContext, const char16_t* secondId, ULONG64 secondLength,
                                         ULONG secondSerial, void* secondContext) {
    ChildIdentification first{{sizeof(ChildIdentification)}, firstContext, firstSerial, firstLength, firstId};
    ChildIdentification second{{sizeof(ChildIdentification)}, secondContext, secondSerial, secondLength, secondId};
    return CompareChildIdentification(nullptr, &first.header, &second.header) != FALSE;
}

TEST_EXPORT NTSTATUS VexaTestMidiData(void* device, UCHAR direction, UCHAR cable, ULONG* word) {
    platform::DispatchLevelScope dispatch;
    return UsbAudioDeviceTarget::OnMidiData(device, direction, cable, word, 1);
}

TEST_EXPORT NTSTATUS VexaTestStartStreaming(WDFDEVICE fdo) { return GetDeviceExtension(fdo)->engine->EngineStartStreaming(); }
TEST_EXPORT NTSTATUS VexaTestStopStreaming(WDFDEVICE fdo) { return GetDeviceExtension(fdo)->engine->EngineStopStreaming(); }
