// vexa-asio-host's host on the standard machine in this program, on the
// virtual clock: the real driver images, the ASIO driver registered at boot
// and created by its class id through COM, a simulated interface plugged in.
// The clock runs in steps shorter than half a buffer half and every host
// serves each switch before the next step (lockstep), so a run is the same
// every time and costs little wall time; the driver's pauses are hooked out.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "platform/kernel/pool.h"
#include "platform/win32/avrt.h"
#include "platform/win32/objbase.h"
#include "source/driver/usb/win/vexa_usb_asio/public/asio.h"
#include "source/driver/usb/win/vexa_usb_device/public/audio_device_interface.h"
#include "support/root_machine.h"
#include "tools/vexa-asio-host/asio_driver_list.h"
#include "tools/vexa-asio-host/asio_host.h"

namespace vexa::test {

inline constexpr uint32_t kCatchUpMs = 20000;  // wall time a host may take to serve one switch
inline constexpr ULONG kAsioPoolTag = 0x6F697361;  // 'asio': the root's buffers for ASIO hosts

class HostTest : public ::testing::Test {
protected:
    HostTest() : root_(VEXA_DRIVER_DIR, {}, VEXA_DRIVER_DIR) {
        platform::win32::set_sleep_hook([](DWORD) {});
        EXPECT_EQ(CoInitialize(nullptr), S_OK);
        pal_ = OpenPal();
    }
    ~HostTest() override {
        hosts_.clear();
        CloseHandle(pal_);
        CoFreeUnusedLibraries();
        CoUninitialize();
        platform::win32::set_sleep_hook(nullptr);
        platform::win32::avrt::restore();
    }

    // The installed driver's class, as a host finds it under HKLM\SOFTWARE\ASIO.
    static CLSID InstalledClass() {
        for (const asio_host::InstalledDriver& driver : asio_host::ListInstalledDrivers()) {
            if (driver.name == vexa::asio::kAsioDriverName && driver.clsidValid) return driver.clsid;
        }
        ADD_FAILURE() << "the ASIO driver is not registered";
        return CLSID{};
    }

    asio_host::AsioHost& host(asio_host::HostOptions options = {}) {
        hosts_.push_back(std::make_unique<asio_host::AsioHost>(std::move(options)));
        return *hosts_.back();
    }
    // A host that loaded, inited and started the driver.
    asio_host::AsioHost& streaming(asio_host::HostOptions options = {}) {
        asio_host::AsioHost& h = host(std::move(options));
        EXPECT_EQ(h.load(InstalledClass()), S_OK);
        std::string error;
        EXPECT_TRUE(h.init(&error)) << error;
        EXPECT_EQ(h.start(&error), ASE_OK) << error;
        return h;
    }

    // Runs the clock `ms` in steps of at most half of the shortest half,
    // each host serving what was signalled before the next step.
    void run(uint64_t ms, std::initializer_list<asio_host::AsioHost*> hosts) {
        uint64_t step = 1000;
        for (asio_host::AsioHost* h : hosts) {
            std::vector<asio_host::Stream> streams = h->streams();
            if (!h->running() || streams.empty() || streams.back().rate == 0) continue;
            uint64_t halfMs = uint64_t{streams.back().bufferSize} * 1000 / streams.back().rate;
            step = std::min(step, std::max<uint64_t>(1, halfMs / 2));
        }
        for (uint64_t done = 0; done < ms; done += step) {
            root_.machine().clock().run_for(platform::Milliseconds(std::min(step, ms - done)));
            for (asio_host::AsioHost* h : hosts) ASSERT_TRUE(h->catch_up(kCatchUpMs)) << "the host never got the switch";
        }
    }

    // Runs `fn`, a plug or an unplug, whose binding and pauses move the clock
    // themselves: each frame waits until the hosts served what was signalled,
    // as each step of run() does.
    template <typename Fn>
    auto paced(std::initializer_list<asio_host::AsioHost*> hosts, Fn fn) {
        std::vector<asio_host::AsioHost*> served(hosts);
        std::atomic<bool> behind{false};
        platform::Clock& clock = root_.machine().clock();
        uint64_t listener = clock.add_frame_listener([&](uint64_t) {
            for (asio_host::AsioHost* h : served) {
                if (!h->catch_up(kCatchUpMs)) behind = true;
            }
        });
        auto result = fn();
        clock.remove_frame_listener(listener);
        EXPECT_FALSE(behind) << "a host never got a switch";
        return result;
    }

    pal::BusSettingsBlock settings() { return ReadSettings(pal_); }
    bool set_rate(uint32_t rate) {
        return Bus(pal_, pal::kDcpBusSetSampleRate, nullptr, 8, U32Data(rate)).status == STATUS_SUCCESS &&
               settings().sampleRate == rate;
    }

    // Every channel of the stream came back matching at one latency, with nothing dropped.
    static void ExpectMatched(const asio_host::Stream& stream, size_t channels, const std::string& what) {
        EXPECT_TRUE(stream.matched()) << what;
        EXPECT_EQ(stream.channels.size(), channels) << what << ": every channel checked";
        EXPECT_EQ(stream.missed, 0u) << what;
        EXPECT_EQ(stream.late, 0u) << what;
        for (const asio_host::ChannelResult& c : stream.channels) {
            EXPECT_GE(c.latency, 0) << what << ": channel " << c.channel << " came back";
            EXPECT_EQ(c.mismatches, 0u) << what << ": channel " << c.channel << " first at " << c.firstMismatch;
            EXPECT_EQ(c.latency, stream.channels.front().latency) << what << ": one latency for all";
            EXPECT_EQ(c.relocks, 0u) << what;
        }
    }

    RootMachine root_;
    HANDLE pal_ = INVALID_HANDLE_VALUE;
    std::vector<std::unique_ptr<asio_host::AsioHost>> hosts_;
};

}  // namespace vexa::test
