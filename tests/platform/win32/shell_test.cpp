// The shell and user32 on both roads: the control panel's path starts the
// installed program with the machine's socket in its environment, a missing
// one gets the Windows answer; message boxes are answered.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/machine/installed_files.h"
#include "platform/win32/shellapi.h"
#include "support/road_fixture.h"

namespace {

using namespace vexa::test;

constexpr const char* kPanelPath = "C:\\Program Files\\QUVVexaUSB\\QUVVexaUSB.exe";

class ShellTest : public RoadTest {
protected:
    ~ShellTest() override {
        platform::win32::shell::clear_executions();
        platform::win32::set_message_box_responder(nullptr);
    }
};

// The control panel's path runs the installed program with the machine's socket; the call is recorded.
TEST_P(ShellTest, ControlPanelStartsWithTheMachineSocket) {
    auto script = dir_.path() / "panel.sh";
    auto out = dir_.path() / "panel.out";
    {
        std::ofstream file(script);
        file << "#!/bin/sh\nprintf '%s|%s' \"$VEXA_MACHINE_SOCKET\" \"$1\" > '" << out.string() << "'\n";
    }
    std::filesystem::permissions(script, std::filesystem::perms::owner_all);
    machine_.attachment<platform::InstalledFiles>().install(u"C:\\Program Files\\QUVVexaUSB\\QUVVexaUSB.exe", script);

    HINSTANCE result = ShellExecuteA(GetForegroundWindow(), "open", "c:\\program files\\quvvexausb\\QUVVexaUSB.exe",
                                     "--page", "", SW_SHOWNORMAL);
    EXPECT_GT(reinterpret_cast<intptr_t>(result), 32);
    ASSERT_EQ(platform::win32::shell::wait_for_exit(0), 0);
    std::ifstream written(out);
    std::string content((std::istreambuf_iterator<char>(written)), std::istreambuf_iterator<char>());
    std::string socket = GetParam() == Road::Socket ? socket_path() : "";
    EXPECT_EQ(content, socket + "|--page");
    auto executions = platform::win32::shell::executions();
    ASSERT_EQ(executions.size(), 1u);
    EXPECT_EQ(executions[0].operation, "open");
    EXPECT_EQ(executions[0].showCommand, SW_SHOWNORMAL);
    EXPECT_EQ(executions[0].program, script.string());
    EXPECT_EQ(executions[0].socket, socket);
}

// Without the program installed the answer is the shell's "file not found" (2), recorded too; other verbs have no association.
TEST_P(ShellTest, MissingProgramIsFileNotFound) {
    HINSTANCE result = ShellExecuteA(nullptr, "open", kPanelPath, "", "", SW_SHOWNORMAL);
    EXPECT_EQ(reinterpret_cast<intptr_t>(result), SE_ERR_FNF);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(reinterpret_cast<intptr_t>(ShellExecuteA(nullptr, "print", kPanelPath, "", "", SW_SHOWNORMAL)),
              SE_ERR_NOASSOC);
    auto executions = platform::win32::shell::executions();
    ASSERT_EQ(executions.size(), 2u);
    EXPECT_EQ(executions[0].file, kPanelPath);
    EXPECT_TRUE(executions[0].program.empty());
    EXPECT_FALSE(platform::win32::shell::wait_for_exit(0));
}

// A message box answers its default button, or what the installed responder says; there is no foreground window.
TEST_P(ShellTest, MessageBoxesAreAnswered) {
    EXPECT_EQ(GetForegroundWindow(), nullptr);
    EXPECT_EQ(MessageBoxA(nullptr, "Register x failed (-101)", "ASIO QUV VEXA USB Platform", MB_OK), IDOK);
    EXPECT_EQ(MessageBoxA(nullptr, "Again?", "Caption", MB_YESNO | MB_DEFBUTTON2), IDNO);
    EXPECT_EQ(MessageBoxA(nullptr, "Again?", "Caption", MB_RETRYCANCEL | MB_DEFBUTTON4), IDRETRY)
        << "a default past the last button is the first";
    std::string seen;
    platform::win32::set_message_box_responder([&](const std::string& text, const std::string& caption, UINT) {
        seen = caption + ": " + text;
        return IDCANCEL;
    });
    EXPECT_EQ(MessageBoxA(nullptr, "Body", "Title", MB_OKCANCEL), IDCANCEL);
    EXPECT_EQ(seen, "Title: Body");
}

// Without a debugger DebugBreak only says so and returns: the program goes on.
TEST_P(ShellTest, DebugBreakWithoutADebuggerReturns) {
    DebugBreak();
    DWORD first = GetTickCount();
    EXPECT_GE(GetTickCount(), first) << "the tick count does not run backwards";
}

INSTANTIATE_TEST_SUITE_P(Roads, ShellTest, ::testing::Values(Road::Local, Road::Socket), RoadName);

}  // namespace
