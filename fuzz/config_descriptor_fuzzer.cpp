// The configuration descriptor the simulated interface presents, from the
// input: a model's own descriptor with bytes changed, cut short or run on,
// or bytes of the input's own. The USB function driver parses and validates
// it, selects its settings and the root driver binds when it can; then the
// interface is pulled out. The machine must keep its rules and the pool must
// be balanced once it has shut down.
#include <memory>

#include "fuzz_support.h"
#include "platform/device/vexa_interface.h"
#include "platform/kernel/pnp_notify.h"
#include "platform/usb/usb_port.h"
#include "support/root_machine.h"

namespace {

using vexa::fuzz::Reader;
using namespace platform::device;

constexpr size_t kMaxEdits = 16;
constexpr size_t kMaxDescriptorBytes = 1024;
constexpr uint64_t kRunMs = 30;

class DescribedInterface : public VexaInterface {
public:
    DescribedInterface(VexaModel model, Reader& in) : VexaInterface(model) {
        descriptor_ = VexaInterface::configuration_descriptor();
        uint8_t mode = in.u8();
        if ((mode & 0x80) != 0) {
            descriptor_ = in.bytes(in.u16() % kMaxDescriptorBytes);
            return;
        }
        for (size_t k = 0, edits = in.pick(kMaxEdits + 1); k < edits && !descriptor_.empty(); ++k) {
            descriptor_[in.u16() % descriptor_.size()] = in.u8();
        }
        if ((mode & 0x01) != 0) descriptor_.resize(in.u16() % (descriptor_.size() + 1));  // cut short
        if ((mode & 0x02) != 0) {
            std::vector<uint8_t> more = in.bytes(in.u8());
            descriptor_.insert(descriptor_.end(), more.begin(), more.end());  // runs on
        }
    }

    const std::vector<uint8_t>& configuration_descriptor() const override { return descriptor_; }

private:
    std::vector<uint8_t> descriptor_;
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    vexa::fuzz::KeepImagesLoaded({VEXA_DRIVER_DIR "/QUVVexaUSBRoot.so", VEXA_USB_DRIVER_DIR "/QUVVexaUSBDevice.so"});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vexa::fuzz::PoolBalance pool;
    {
        Reader in(data, size);
        vexa::test::RootMachine root(VEXA_DRIVER_DIR, {}, VEXA_USB_DRIVER_DIR);
        VexaModel model = in.u8() % 2 != 0 ? VexaModel::CantileQk : VexaModel::CantileQe;
        auto device = std::make_shared<DescribedInterface>(model, in);
        platform::DevNode* node = platform::usb::plug(device, "QUVVexaUSBDevice", u"0001");
        platform::drain_pnp_notifications();
        root.machine().clock().run_for(platform::Milliseconds(kRunMs));
        platform::usb::unplug(*node);
        platform::drain_pnp_notifications();
    }
    pool.check();
    return 0;
}
