// Test access to the MIDI child drivers' stand-ins: both images stay loaded
// for the holder's life, so their records survive the machine loading and
// unloading them; and a way to send a request to a child PDO as its driver does.
#pragma once

#include <dlfcn.h>

#include <stdexcept>
#include <string>

#include "platform/kernel/ntddk.h"
#include "platform/machine/pnp_manager.h"
#include "tools/doubles/midi_double.h"

namespace vexa::test {

class MidiDoubles {
public:
    explicit MidiDoubles(const std::string& dir) {
        in_ = open(dir + "/" + doubles::kMidiInService + ".so", &inImage_);
        out_ = open(dir + "/" + doubles::kMidiOutService + ".so", &outImage_);
    }
    ~MidiDoubles() {
        dlclose(inImage_);
        dlclose(outImage_);
    }
    MidiDoubles(const MidiDoubles&) = delete;
    MidiDoubles& operator=(const MidiDoubles&) = delete;

    doubles::MidiDoubleState& in() { return *in_; }
    doubles::MidiDoubleState& out() { return *out_; }

private:
    static doubles::MidiDoubleState* open(const std::string& path, void** image) {
        *image = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (*image == nullptr) throw std::runtime_error(dlerror());
        auto get = reinterpret_cast<doubles::MidiDoubleGetStateFn>(dlsym(*image, "MidiDoubleGetState"));
        doubles::MidiDoubleState* state = get();
        state->reset();
        return state;
    }

    void* inImage_ = nullptr;
    void* outImage_ = nullptr;
    doubles::MidiDoubleState* in_ = nullptr;
    doubles::MidiDoubleState* out_ = nullptr;
};

// A device control (or internal one) to a child node's PDO with `inputBytes` of
// `buffer` in and room for `outputBytes` out; the status, the reply in `buffer`.
inline NTSTATUS SendToChild(platform::DevNode* node, ULONG code, bool internal, void* buffer, ULONG inputBytes,
                            ULONG outputBytes) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK ioStatus{};
    IRP* irp = IoBuildDeviceIoControlRequest(code, &node->pdo, buffer, inputBytes, buffer, outputBytes,
                                             internal ? TRUE : FALSE, &done, &ioStatus);
    NTSTATUS status = IoCallDriver(&node->pdo, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}

// The same with one length both ways.
inline NTSTATUS SendToChild(platform::DevNode* node, ULONG code, bool internal, void* buffer, ULONG bytes) {
    return SendToChild(node, code, internal, buffer, bytes, bytes);
}

// The child node whose device id is `deviceId` and instance `instance` ("1", "2").
inline platform::DevNode* FindChild(const std::vector<platform::DevNode*>& children, const std::u16string& deviceId,
                                    const std::u16string& instance) {
    for (platform::DevNode* node : children) {
        if (node->instanceId == deviceId + u"\\" + instance) return node;
    }
    return nullptr;
}

}  // namespace vexa::test
