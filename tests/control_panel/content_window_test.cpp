// The panel's content end to end under Xvfb, against vexa-machine in another
// process: the window shows a Cantile-QE, a rate chosen in the combo box's
// menu with the pointer reaches the driver and its registry, unplugging and
// plugging again are followed, and a picture of the window is saved and
// checked by colour at named points; without a machine the panel says
// "Driver not found" and ends cleanly.
#include <cstdlib>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "panel_window_test.h"
#include "platform/win32/user_process.h"
#include "platform/win32/windows.h"
#include "platform/win32/winreg.h"

namespace {

using namespace cpl::test;

// Colours of the built-in look defaults, 0xRRGGBB.
constexpr unsigned long kWindowColour = 0xFFFFFF;
constexpr unsigned long kGroupOutline = 0x8E8E8E;
constexpr unsigned long kComboColour = 0xCCCCCC;
constexpr unsigned long kMenuColour = 0xDDDDDD;
// The black arrow at 30 % over the combo colour.
constexpr unsigned long kDisabledArrow = 0x8F8F8F;
constexpr int kMenuSettleMs = 600;

bool near(unsigned long a, unsigned long b, int tolerance = 12) {
    for (int shift : {0, 8, 16}) {
        if (std::abs(static_cast<int>((a >> shift) & 0xFF) - static_cast<int>((b >> shift) & 0xFF)) > tolerance)
            return false;
    }
    return true;
}

bool dark(unsigned long rgb) { return ((rgb >> 16) & 0xFF) < 0x60 && ((rgb >> 8) & 0xFF) < 0x60 && (rgb & 0xFF) < 0x60; }

std::string hex(unsigned long rgb) {
    std::ostringstream s;
    s << std::hex << rgb;
    return s.str();
}

class PanelContentTest : public PanelWindowTest {
protected:
    // The content's top-left corner on the screen: inside JUCE's frame and title bar.
    void locate(const PanelWindow& w) {
        window_ = w.id;
        x0_ = w.x + 1;
        y0_ = w.y + w.height - 1 - kContentHeight;
    }
    // Waits for what the window shows, nudging it so that the panel takes in its X events.
    bool waitShown(const std::function<bool()>& shown) {
        return display_->waitUntil([&] {
            display_->nudge(window_);
            return shown();
        }, kTimeout);
    }
    unsigned long at(int x, int y) { return display_->pixel(x0_ + x, y0_ + y); }

    // Whether any pixel of the content's rectangle is text-dark.
    bool anyDark(int x, int y, int width, int height) {
        for (int row = y; row < y + height; row += 1)
            for (int column = x; column < x + width; column += 2)
                if (dark(at(column, row))) return true;
        return false;
    }
    // The device text's third line ("Firmware App Version : ...") is there only for a device.
    bool showsDevice() { return anyDark(60, 270, 200, 16); }
    // The darkest pixel of the rate combo's arrow: black while the combo is enabled, drawn at
    // 30 % over the combo colour while it is disabled (the fill is the same in both states).
    unsigned long rateArrow() {
        unsigned long darkest = 0xFFFFFF;
        for (int y = 72; y <= 80; ++y)
            for (int x = 305; x <= 318; ++x)
                if ((at(x, y) & 0xFF) < (darkest & 0xFF)) darkest = at(x, y);
        return darkest;
    }
    bool rateComboEnabled() { return near(at(200, 76), kComboColour, 6) && dark(rateArrow()); }
    bool rateComboDisabled() { return near(at(200, 76), kComboColour, 6) && near(rateArrow(), kDisabledArrow, 24); }

    // The machine's registry value of the root driver's Parameters key, read through its socket.
    std::optional<DWORD> storedValue(const char* name) {
        if (!registryProcess_) {
            std::string error;
            registryProcess_ = platform::win32::connect_to_machine(machine_->socket(), false, "window-test", &error);
            if (!registryProcess_) return std::nullopt;
        }
        platform::win32::ScopedProcess scope(registryProcess_);
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\QUVVexaUSBRoot\\Parameters", 0,
                          KEY_READ, &key) != ERROR_SUCCESS)
            return std::nullopt;
        DWORD value = 0, type = 0, size = sizeof(value);
        const LSTATUS status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(&value), &size);
        RegCloseKey(key);
        if (status != ERROR_SUCCESS) return std::nullopt;
        return value;
    }

    void TearDown() override {
        registryProcess_.reset();
        PanelWindowTest::TearDown();
    }

    ::Window window_ = 0;
    int x0_ = 0;
    int y0_ = 0;
    std::shared_ptr<platform::win32::UserProcess> registryProcess_;  // the test's own process on the machine
};

// A Cantile-QE: its values on the window; 96000 chosen from the rate menu reaches the driver's
// registry and the window follows; unplugged, the window shows no device; plugged again, it does.
TEST_F(PanelContentTest, FollowsTheInterfaceAndSendsTheUsersChoice) {
    startMachine({"cantile-qe"});
    auto panel = start();
    const auto window = waitForWindowAt(0, 0, kFramedWidth, kFramedHeight);
    ASSERT_TRUE(window) << panel->output();
    locate(*window);
    ASSERT_TRUE(waitShown([&] { return showsDevice() && rateComboEnabled(); }))
        << hex(at(200, 76)) << " arrow " << hex(rateArrow()) << "\n" << panel->output();

    // Named points of the layout in the look's colours.
    EXPECT_TRUE(near(at(10, 10), kWindowColour)) << hex(at(10, 10));
    EXPECT_TRUE(near(at(190, 180), kWindowColour)) << "between the groups: " << hex(at(190, 180));
    bool outline = false;
    for (int x = 23; x <= 28 && !outline; ++x) outline = near(at(x, 100), kGroupOutline, 20);
    EXPECT_TRUE(outline) << "the bus group's left edge";
    EXPECT_TRUE(near(at(200, 108), kComboColour, 6)) << "buffer size combo: " << hex(at(200, 108));
    EXPECT_TRUE(near(at(200, 140), kComboColour, 6)) << "mode combo: " << hex(at(200, 140));
    EXPECT_TRUE(anyDark(55, 232, 200, 16)) << "the product line";

    const std::string picture = std::string(VEXA_PANEL_PICTURE_DIR) + "/panel-cantile-qe.ppm";
    EXPECT_TRUE(display_->saveScreen(window->x, window->y, window->width, window->height, picture));
    std::cout << "picture of the window: " << picture << std::endl;

    // The rate combo's menu: six rates, 96000 the fourth.
    // A click that lands while a late bus update refills the combo opens nothing, as it would
    // for a user, who clicks again: so does the test, until the whole timeout has passed.
    std::vector<PanelWindow> windows;
    bool opened = false;
    for (auto until = std::chrono::steady_clock::now() + kTimeout; !opened && std::chrono::steady_clock::now() < until;) {
        ASSERT_TRUE(display_->click(x0_ + 245, y0_ + 76));
        opened = display_->waitUntil([&] { return (windows = display_->panelWindows()).size() == 2; },
                                     std::chrono::seconds(10));
    }
    ASSERT_TRUE(opened) << "the rate combo's menu never opened";
    const PanelWindow menu = windows.back();
    // Six items of equal height fill the menu but for a thin border: the fourth's middle is at 3.5 / 6.
    const int itemX = menu.x + menu.width / 2;
    const int itemY = menu.y + menu.height * 7 / 12;
    ASSERT_TRUE(display_->waitUntil([&] { return near(display_->pixel(itemX, itemY), kMenuColour); }, kTimeout))
        << "the menu is painted: " << hex(display_->pixel(itemX, itemY));
    ASSERT_TRUE(display_->movePointer(itemX, itemY));
    ASSERT_TRUE(display_->waitUntil([&] {
        display_->nudge(menu.id);
        return !near(display_->pixel(menu.x + 4, itemY), kMenuColour);
    }, kTimeout)) << "the item under the pointer is highlighted";
    // A menu takes no click in its first moments (so the click that opened it cannot choose).
    display_->waitUntil([] { return false; }, std::chrono::milliseconds(kMenuSettleMs));
    ASSERT_TRUE(display_->clickHere());
    EXPECT_TRUE(waitShown([&] { return storedValue("Sampling Rate") == 96000u; }))
        << "the registry holds " << storedValue("Sampling Rate").value_or(0);

    ASSERT_TRUE(machine_->command("unplug 1"));
    EXPECT_TRUE(waitShown([&] { return !showsDevice() && rateComboDisabled(); }))
        << "device " << showsDevice() << " arrow " << hex(rateArrow());
    ASSERT_TRUE(machine_->command("plug cantile-qe"));
    EXPECT_TRUE(waitShown([&] { return showsDevice() && rateComboEnabled(); })) << machine_->output();

    closeWithButton(*window);
    expectCleanExit(*panel);
}

// Without a machine: the "Driver not found" box, and after OK the panel ends with status 0.
TEST_F(PanelContentTest, WithoutAMachineSaysDriverNotFound) {
    withoutMachine();
    auto panel = start();
    pressMessageBoxButton(*panel);
    expectCleanExit(*panel);
}

}  // namespace
