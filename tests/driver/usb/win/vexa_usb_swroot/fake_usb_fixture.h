// A machine with the root driver's test image and a stand-in USB function
// driver that records the commands it gets; a PAL client is registered.
#pragma once

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <algorithm>
#include <cstring>

#include "platform/kernel/pnp_notify.h"
#include "platform/machine/driver_loader.h"
#include "platform/machine/event_log.h"
#include "support/fake_usb_driver.h"
#include "support/root_machine.h"

namespace vexa::test {

inline uint32_t Key(uint16_t category, uint16_t command) { return uint32_t{category} << 16 | command; }

inline std::vector<uint32_t> Keys(const std::vector<FakeUsbCommand>& commands) {
    std::vector<uint32_t> keys;
    for (const auto& c : commands) keys.push_back(Key(c.category, c.command));
    return keys;
}

inline constexpr const char* kFakeService = "VexaFakeUsb";

inline size_t IndexOf(const std::vector<uint32_t>& keys, uint32_t key) {
    return static_cast<size_t>(std::find(keys.begin(), keys.end(), key) - keys.begin());
}

class FakeUsbTest : public ::testing::Test {
protected:
    FakeUsbTest() : root_(VEXA_TEST_DRIVER_DIR, {}, VEXA_USB_DRIVER_DIR) {
        image_ = dlopen(VEXA_FAKE_USB_DRIVER, RTLD_NOW | RTLD_LOCAL);
        fake_ = reinterpret_cast<FakeUsbGetStateFn>(dlsym(image_, "FakeUsbGetState"))();
        notify_ = reinterpret_cast<FakeUsbNotifyFn>(dlsym(image_, "FakeUsbNotify"));
        fake_->reset_script();
        root_.machine().drivers().install(kFakeService, VEXA_FAKE_USB_DRIVER);
        pal_ = OpenPal();
        EXPECT_EQ(Bus(pal_, pal::kDcpBusRegisterClient).status, STATUS_SUCCESS);
    }
    ~FakeUsbTest() override {
        CloseHandle(pal_);
        root_.machine().shutdown();
        dlclose(image_);
    }

    platform::DevNode* plug_fake() {
        node_ = root_.machine().pnp().add_node(u"VEXA\\FAKEUSB\\0001", {u"VEXA\\FAKEUSB"}, kFakeService);
        platform::drain_pnp_notifications();
        return node_;
    }

    // From the next plug on, the firmware's stream information (7/1) names two
    // channels each way and these device latencies (frames).
    void set_device_latencies(uint32_t output, uint32_t input) {
        fake_->firmwareSetup = [output, input](platform::device::Firmware& firmware) {
            firmware.set_handler(7, 1, [output, input](const std::vector<uint8_t>&) {
                std::vector<uint8_t> info(24, 0);
                uint16_t counts[2] = {2, 2};
                uint32_t latencies[2] = {output, input};
                std::memcpy(info.data(), counts, 4);
                std::memcpy(info.data() + 4, latencies, 8);
                return platform::device::FirmwareReply{0, info};
            });
        };
    }

    std::vector<uint32_t> events_logged(uint32_t message) {
        std::vector<uint32_t> statuses;
        for (const auto& e : root_.machine().event_log().entries()) {
            if (e.errorCode == message) statuses.push_back(static_cast<uint32_t>(e.finalStatus));
        }
        return statuses;
    }

    RootMachine root_;
    void* image_ = nullptr;
    FakeUsbState* fake_ = nullptr;
    FakeUsbNotifyFn notify_ = nullptr;
    HANDLE pal_ = nullptr;
    platform::DevNode* node_ = nullptr;
};

}  // namespace vexa::test
