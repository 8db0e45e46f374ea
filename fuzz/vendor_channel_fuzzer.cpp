// The firmware's side of the vendor channel, from the input: its capability
// and command replies (honest, with bytes changed, replaced whole, or
// stalled), its clock requests' answers, and its interrupt notifications
// (dropped, doubled, of any length and any bits), while the USB function
// driver and the root driver bind to it and a PAL client sends it DCP
// commands. Then the interface is pulled out; the machine must keep its
// rules, and the pool must be balanced once the machine has shut down.
#include <memory>
#include <mutex>

#include "fuzz_support.h"
#include "platform/device/vexa_interface.h"
#include "platform/kernel/pnp_notify.h"
#include "platform/usb/usb_port.h"
#include "support/root_machine.h"

namespace {

using vexa::fuzz::Reader;
using namespace platform::device;

constexpr size_t kMaxOperations = 32;
constexpr uint64_t kClockStepMs = 5;
constexpr uint8_t kRequestCommand = 2;
constexpr size_t kMaxEdits = 4;
constexpr size_t kMaxInterruptBytes = 16;

// The input, shared by the threads the device answers on.
class Script {
public:
    Script(const uint8_t* data, size_t size) : in_(data, size) {}
    template <typename Fn>
    auto with(Fn fn) {
        std::lock_guard lock(lock_);
        return fn(in_);
    }

private:
    std::mutex lock_;
    Reader in_;
};

class FuzzedInterface : public VexaInterface {
public:
    FuzzedInterface(VexaModel model, Script& script) : VexaInterface(model), script_(script) {}

    platform::usb::ControlResult control(const WDF_USB_CONTROL_SETUP_PACKET& setup, uint8_t* data) override {
        bool classToInterface = (setup.bmRequestType & 0x60) == 0x20 && (setup.bmRequestType & 0x1F) == 1;
        UCHAR interfaceNumber = setup.wIndex & 0xFF;
        if (!classToInterface || (interfaceNumber != kVendorInterface && interfaceNumber != kAudioControlInterface)) {
            return VexaInterface::control(setup, data);
        }
        bool in = (setup.bmRequestType & 0x80) != 0;
        uint8_t mode = script_.with([](Reader& r) { return r.u8(); }) % 8;
        if (mode == 6) return {platform::usb::kStall, 0};
        if (mode == 7 && setup.bRequest == kRequestCommand) return {platform::usb::kNoAnswer, 0};
        platform::usb::ControlResult result = VexaInterface::control(setup, data);
        if (!in || !NT_SUCCESS(result.status)) return result;
        script_.with([&](Reader& r) {
            if (mode == 1 || mode == 2) {
                // Some bytes of the honest answer changed.
                for (size_t k = 0, edits = 1 + r.pick(kMaxEdits); k < edits && setup.wLength != 0; ++k) {
                    size_t at = r.u16() % setup.wLength;
                    data[at] = r.u8();
                    result.bytes = std::max<ULONG>(result.bytes, static_cast<ULONG>(at + 1));
                }
            } else if (mode == 3 || mode == 4) {
                // An answer of the input's own, of any length the request allows.
                result.bytes = setup.wLength == 0 ? 0 : r.u16() % (setup.wLength + 1u);
                r.fill(data, result.bytes);
            } else if (mode == 5) {
                result.bytes = setup.wLength == 0 ? 0 : r.u16() % (setup.wLength + 1u);  // cut short
            }
        });
        return result;
    }

    std::optional<std::vector<uint8_t>> read_in(UCHAR endpointAddress, ULONG maxBytes) override {
        if (endpointAddress != kVendorInterruptEndpoint) return VexaInterface::read_in(endpointAddress, maxBytes);
        std::lock_guard lock(extraLock_);
        if (!extra_.empty()) {
            std::vector<uint8_t> transfer = std::move(extra_.front());
            extra_.erase(extra_.begin());
            if (transfer.size() > maxBytes) transfer.resize(maxBytes);
            return transfer;
        }
        auto honest = VexaInterface::read_in(endpointAddress, maxBytes);
        if (!honest) return honest;
        uint8_t mode = script_.with([](Reader& r) { return r.u8(); }) % 4;
        if (mode == 1) return std::nullopt;  // lost
        if (mode == 2) extra_.push_back(*honest);  // doubled
        if (mode == 3 && !honest->empty()) {
            script_.with([&](Reader& r) { (*honest)[r.pick(honest->size())] ^= r.u8(); });
        }
        return honest;
    }

    // A notification of the input's own: any length, any bits.
    void interrupt(std::vector<uint8_t> transfer) {
        std::lock_guard lock(extraLock_);
        extra_.push_back(std::move(transfer));
    }

private:
    Script& script_;
    std::mutex extraLock_;
    std::vector<std::vector<uint8_t>> extra_;  // guarded by extraLock_
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vexa::fuzz::KeepImagesLoaded({VEXA_DRIVER_DIR "/QUVVexaUSBRoot.so", VEXA_USB_DRIVER_DIR "/QUVVexaUSBDevice.so"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vexa::fuzz::PoolBalance pool;
    {
        Script script(data, size);
        vexa::test::RootMachine root(VEXA_DRIVER_DIR, {}, VEXA_USB_DRIVER_DIR);
        VexaModel model = script.with([](Reader& r) { return r.u8() % 2; }) != 0 ? VexaModel::CantileQk
                                                                                 : VexaModel::CantileQe;
        auto device = std::make_shared<FuzzedInterface>(model, script);
        platform::DevNode* node = platform::usb::plug(device, "QUVVexaUSBDevice", u"0001");
        platform::drain_pnp_notifications();
        auto process = platform::win32::create_local_process(false, "panel");
        platform::win32::ScopedProcess as(process);
        HANDLE pal = vexa::test::OpenPal();
        if (pal != INVALID_HANDLE_VALUE) {
            (void)vexa::test::Bus(pal, vexa::pal::kDcpBusRegisterClient);
        }
        for (size_t op = 0; op < kMaxOperations && !script.with([](Reader& r) { return r.empty(); }); ++op) {
            uint8_t what = script.with([](Reader& r) { return r.u8(); });
            switch (what % 4) {
                case 0: {
                    auto [category, command, payload] = script.with([](Reader& r) {
                        uint16_t category = r.u8() % 9;
                        uint16_t command = r.u16() & 0xFFF;
                        return std::make_tuple(category, command, r.bytes(r.u8()));
                    });
                    std::vector<uint8_t> reply;
                    if (pal != INVALID_HANDLE_VALUE) {
                        (void)vexa::test::Dcp(pal, category, command, &reply, payload, 8 + script.with([](Reader& r) {
                                                  return static_cast<DWORD>(r.u8());
                                              }));
                    }
                    break;
                }
                case 1:
                    device->interrupt(script.with([](Reader& r) { return r.bytes(r.pick(kMaxInterruptBytes + 1)); }));
                    break;
                case 2:
                    device->raise_event(script.with([](Reader& r) { return r.u32(); }), (what & 0x10) != 0);
                    break;
                default:
                    root.machine().clock().run_for(platform::Milliseconds(kClockStepMs * (1 + (what >> 4))));
                    break;
            }
        }
        root.machine().clock().run_for(platform::Milliseconds(kClockStepMs));
        if (pal != INVALID_HANDLE_VALUE) CloseHandle(pal);
        platform::usb::unplug(*node);
        platform::drain_pnp_notifications();
    }
    pool.check();
    return 0;
}
