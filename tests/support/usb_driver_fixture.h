// A machine with the USB function driver installed, ready to plug simulated
// devices into.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "platform/device/simulated_usb_device.h"
#include "platform/kernel/pool.h"
#include "platform/machine/driver_loader.h"
#include "platform/machine/event_log.h"
#include "platform/machine/machine.h"
#include "platform/machine/pnp_manager.h"
#include "platform/usb/usb_port.h"

#include "support/usb_constants.h"

namespace vexa::test {

class UsbDriverTest : public ::testing::Test {
protected:
    UsbDriverTest() {
        machine_.drivers().install(kUsbService, VEXA_USB_DEVICE_DRIVER);
        objectBytes_ = platform::pool::outstanding_bytes(kTagObject);
        bufferBytes_ = platform::pool::outstanding_bytes(kTagBuffer);
    }

    platform::DevNode* plug(std::shared_ptr<platform::usb::UsbDeviceModel> model) {
        return platform::usb::plug(std::move(model), kUsbService, u"0001");
    }
    platform::DevNode* plug_minimal() { return plug(platform::device::make_minimal_device(0x0A4A, 0x802A)); }

    std::vector<platform::EventLogEntry> events() { return machine_.event_log().entries(); }

    // Pool the driver took beyond what was outstanding when the test began.
    int64_t leaked_bytes() const {
        return (platform::pool::outstanding_bytes(kTagObject) - objectBytes_) +
               (platform::pool::outstanding_bytes(kTagBuffer) - bufferBytes_);
    }

    platform::Machine machine_;
    int64_t objectBytes_ = 0;
    int64_t bufferBytes_ = 0;
};

}  // namespace vexa::test
