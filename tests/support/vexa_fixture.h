// A machine with the USB function driver installed and a simulated VEXA
// interface plugged in, bound to a fake root driver.
#pragma once

#include "platform/device/vexa_interface.h"
#include "support/fake_root.h"
#include "support/usb_driver_fixture.h"

namespace vexa::test {

class VexaTest : public UsbDriverTest {
protected:
    // Plugs the interface in and binds the fake root to it.
    platform::DevNode* plug_vexa(platform::device::VexaModel model = platform::device::VexaModel::CantileQe,
                                 platform::device::VexaVariant variant = {},
                                 const std::function<void(platform::device::VexaInterface&)>& before = nullptr) {
        device_ = platform::device::make_vexa_interface(model, variant);
        if (before) before(*device_);
        node_ = plug(device_);
        if (node_->state == platform::NodeState::Started) {
            EXPECT_EQ(root_.query(&node_->pdo), STATUS_SUCCESS);
        }
        return node_;
    }

    ULONG open_channel() { return root_.command(kDcpCategoryUsbDevice, kUsbCmdOpenVendorChannel, nullptr, 0, nullptr, nullptr); }

    // A firmware command; `out` receives the reply and its length.
    ULONG firmware(USHORT category, USHORT command, std::vector<uint8_t> in, std::vector<uint8_t>* out,
                   ULONG64 capacity = 512) {
        std::vector<uint8_t> reply(capacity);
        ULONG64 length = capacity;
        ULONG result = root_.command(category, command, in.empty() ? nullptr : in.data(), in.size(), reply.data(), &length);
        if (out != nullptr) {
            reply.resize(result == kUsbResultOk ? length : 0);
            *out = reply;
        }
        return result;
    }

    std::shared_ptr<platform::device::VexaInterface> device_;
    platform::DevNode* node_ = nullptr;
    FakeRoot root_;
};

}  // namespace vexa::test
