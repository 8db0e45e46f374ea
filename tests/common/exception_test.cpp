// The exception family: who catches what, the texts each class carries, the
// where-text's form, copies, and the assertion dialog behind the filter.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "common/xptn.h"
#include "platform/machine/machine.h"
#include "platform/win32/user_process.h"
#include "platform/win32/windows.h"

namespace {

using namespace mrak::vexa;
using mrak::exception::base;

// Throws a fresh object of class X and says which of the handlers, tried from the most specific, caught it.
template <typename X>
std::string CaughtBy() {
    try {
        throw make_xptn<X>("file", 1, "f");
    } catch (const xptn_device_firmware&) {
        return "xptn_device_firmware";
    } catch (const xptn_device_timeout&) {
        return "xptn_device_timeout";
    } catch (const xptn_device_access&) {
        return "xptn_device_access";
    } catch (const xptn_device&) {
        return "xptn_device";
    } catch (const xptn_driver_locked&) {
        return "xptn_driver_locked";
    } catch (const xptn_driver_access&) {
        return "xptn_driver_access";
    } catch (const xptn_driver_version&) {
        return "xptn_driver_version";
    } catch (const xptn_driver&) {
        return "xptn_driver";
    } catch (const xptn_resource&) {
        return "xptn_resource";
    } catch (const xptn_internal&) {
        return "xptn_internal";
    } catch (const base&) {
        return "base";
    }
}

// Whether a handler for class H receives an object of class X.
template <typename X, typename H>
bool Receives() {
    try {
        throw make_xptn<X>("file", 1, "f");
    } catch (const H&) {
        return true;
    } catch (...) {
        return false;
    }
}

struct ClassRow {
    std::string caught;
    std::string type;
    std::string message;
    bool driver;    // a handler for xptn_driver receives it
    bool internal;  // a handler for xptn_internal receives it
    bool device;    // a handler for xptn_device receives it
};

template <typename X>
ClassRow Row() {
    X e = make_xptn<X>("file", 1, "f");
    return ClassRow{CaughtBy<X>(), e.type(), e.message(), Receives<X, xptn_driver>(), Receives<X, xptn_internal>(),
                    Receives<X, xptn_device>()};
}

// Each class is caught by its own handler and by its ancestors', and carries its own texts;
// a wrong parent in the tree or a swapped text shows here.
TEST(ExceptionTest, CatchMatrixAndTexts) {
    struct Expected {
        ClassRow row;
        ClassRow want;
    };
    std::vector<Expected> table = {
        {Row<xptn_internal>(),
         {"xptn_internal", "xptn_internal->mrak::exception::base", "Internal I/O platform abstraction layer error",
          false, true, false}},
        {Row<xptn_resource>(),
         {"xptn_resource", "xptn_resource->mrak::exception::base", "System resource exhausted", false, false, false}},
        {Row<xptn_driver>(), {"xptn_driver", "xptn_driver->xptn_internal", "Driver not installed", true, true, false}},
        {Row<xptn_driver_version>(),
         {"xptn_driver_version", "xptn_driver_version->xptn_driver", "Driver version mismatch", true, true, false}},
        {Row<xptn_driver_access>(),
         {"xptn_driver_access", "xptn_driver_access->xptn_driver", "Driver access error", true, true, false}},
        {Row<xptn_driver_locked>(),
         {"xptn_driver_locked", "xptn_driver_locked->xptn_driver", "Driver streaming parameter locked", true, true,
          false}},
        {Row<xptn_device>(),
         {"xptn_device", "xptn_device->xptn_driver_access", "Device is not accessible", true, true, true}},
        {Row<xptn_device_access>(),
         {"xptn_device_access", "xptn_device_access->xptn_device", "Device access failed", true, true, true}},
        {Row<xptn_device_timeout>(),
         {"xptn_device_timeout", "xptn_device_timeout->xptn_device", "Device operation timeout", true, true, true}},
        {Row<xptn_device_firmware>(),
         {"xptn_device_firmware", "xptn_device_firmware->xptn_device", "Device firmware operation error", true, true,
          true}},
    };
    for (const Expected& e : table) {
        EXPECT_EQ(e.row.caught, e.want.caught);
        EXPECT_EQ(e.row.type, e.want.type) << e.want.caught;
        EXPECT_EQ(e.row.message, e.want.message) << e.want.caught;
        EXPECT_EQ(e.row.driver, e.want.driver) << e.want.caught;
        EXPECT_EQ(e.row.internal, e.want.internal) << e.want.caught;
        EXPECT_EQ(e.row.device, e.want.device) << e.want.caught;
    }
    // Every library error is an mrak::exception::base, and a std::exception.
    EXPECT_TRUE((Receives<xptn_resource, base>()));
    EXPECT_TRUE((Receives<xptn_device_timeout, std::exception>()));
}

// The where-text: the function, ": " and the expression in double quotes; the function alone without one.
TEST(ExceptionTest, WhereTextAndFields) {
    xptn_resource e =
        make_xptn<xptn_resource>("mrak_vexa_pal_system_usb_win", 226, "mrak::vexa::system_impl::create", "!m_hThread");
    EXPECT_EQ(e.where(), "mrak::vexa::system_impl::create: \"!m_hThread\"");
    EXPECT_EQ(e.file(), "mrak_vexa_pal_system_usb_win");
    EXPECT_EQ(e.line(), 226u);
    xptn_internal bare = make_xptn<xptn_internal>("f", 543, "mrak::vexa::bus_impl::static_thread_notification");
    EXPECT_EQ(bare.where(), "mrak::vexa::bus_impl::static_thread_notification");
}

// A copy, and a handler that catches by value, keep all five fields.
TEST(ExceptionTest, CopiesKeepEveryField) {
    try {
        throw make_xptn<xptn_driver_locked>("..\\..\\common\\mrak_vexa_pal_win", 174, "base_lock::_lock", "true");
    } catch (const base& caught) {
        base copy = caught;
        EXPECT_EQ(copy.file(), "..\\..\\common\\mrak_vexa_pal_win");
        EXPECT_EQ(copy.line(), 174u);
        EXPECT_EQ(copy.where(), "base_lock::_lock: \"true\"");
        EXPECT_EQ(copy.message(), "Driver streaming parameter locked");
        EXPECT_EQ(copy.type(), "xptn_driver_locked->xptn_driver");
    }
}

// The assertion dialog, with a machine for its thread and a responder for its box.
class AssertDialogTest : public ::testing::Test {
protected:
    AssertDialogTest() { platform::win32::set_default_process(platform::win32::create_local_process(false)); }
    ~AssertDialogTest() override {
        mrak::exception::static_exception_filter.clear();
        platform::win32::set_message_box_responder(nullptr);
        platform::win32::set_default_process(nullptr);
    }

    struct Box {
        std::string text;
        std::string caption;
        UINT type;
    };
    // Answers every box with `button`, recording what it asked.
    void answer(int button) {
        platform::win32::set_message_box_responder([this, button](const std::string& text, const std::string& caption,
                                                                  UINT type) {
            boxes_.push_back({text, caption, type});
            return button;
        });
    }

    platform::Machine machine_;
    std::vector<Box> boxes_;
};

// With the filter empty no box is asked; a named type or "*" asks, with the texts and style the dialog has.
TEST_F(AssertDialogTest, FilterDecidesAndTheBoxSaysWhere) {
    answer(IDNO);
    (void)make_xptn<xptn_device>("file", 1, "f", "x");
    EXPECT_TRUE(boxes_.empty()) << "no box, and so no thread, with the filter empty";

    mrak::exception::static_exception_filter.push_back("xptn_device_timeout->xptn_device");
    (void)make_xptn<xptn_device>("file", 1, "f", "x");
    EXPECT_TRUE(boxes_.empty()) << "only the named type, not its relatives";
    (void)make_xptn<xptn_device_timeout>("mrak_vexa_pal_bus_usb_win", 364, "mrak::vexa::bus_impl::ioctl", "t");
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(boxes_[0].caption, "Device operation timeout");
    EXPECT_EQ(boxes_[0].text,
              "xptn_device_timeout->xptn_device\nmrak::vexa::bus_impl::ioctl: \"t\"\n\nmrak_vexa_pal_bus_usb_win\n\n"
              "Break into Debugger? (Cancel to abort application)");
    EXPECT_EQ(boxes_[0].type, 0x12113u);

    mrak::exception::static_exception_filter.assign({"*"});
    answer(IDYES);  // breaks into a debugger, which is not there, and goes on
    xptn_internal e = make_xptn<xptn_internal>("file", 1, "f");
    EXPECT_EQ(boxes_.size(), 2u);
    EXPECT_EQ(e.message(), "Internal I/O platform abstraction layer error") << "the object is made all the same";
}

// Cancel ends the process, and with a nonzero code, so whoever started it sees the abort.
TEST_F(AssertDialogTest, CancelEndsTheProcessWithANonzeroCode) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // the machine's threads hold locks a fork would copy
    EXPECT_EXIT(
        {
            mrak::exception::static_exception_filter.assign({"*"});
            answer(IDCANCEL);
            (void)make_xptn<xptn_resource>("file", 1, "f");
        },
        ::testing::ExitedWithCode(static_cast<int>(mrak::exception::kAssertAbortExitCode)), "");
    EXPECT_NE(mrak::exception::kAssertAbortExitCode, 0u);
}

}  // namespace
