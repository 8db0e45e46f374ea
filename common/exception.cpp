#include "common/exception.h"

#include <algorithm>

#include "common/xptn.h"

namespace mrak::exception {

std::deque<std::string> static_exception_filter;

namespace {

struct dialog_context {
    std::string caption;
    std::string text;
    int result = -1;
};

constexpr UINT kDialogStyle = MB_YESNOCANCEL | MB_ICONHAND | MB_DEFBUTTON2 | MB_TASKMODAL | MB_SETFOREGROUND;
static_assert(kDialogStyle == 0x12113);

}  // namespace

base::base(std::string file, uint32_t line, std::string where, std::string message, std::string type)
    : m_file(std::move(file)),
      m_type(std::move(type)),
      m_where(std::move(where)),
      m_message(std::move(message)),
      m_line(line) {
    const auto& filter = static_exception_filter;
    bool named = std::find(filter.begin(), filter.end(), "*") != filter.end() ||
                 std::find(filter.begin(), filter.end(), m_type) != filter.end();
    if (named) assert_dialog(m_message, m_type + "\n" + m_where, m_file);
}

base::~base() = default;

DWORD assert_dialog_thread(LPVOID context) {
    auto* dialog = static_cast<dialog_context*>(context);
    if (dialog == nullptr) return static_cast<DWORD>(-1);
    dialog->result = MessageBoxA(nullptr, dialog->text.c_str(), dialog->caption.c_str(), kDialogStyle);
    return 0;
}

void assert_dialog(std::string caption, std::string text, std::string file) {
    dialog_context dialog{std::move(caption),
                          text + "\n\n" + file + "\n\nBreak into Debugger? (Cancel to abort application)"};
    // The box runs on a thread of its own; without one it runs here, so the question is still asked.
    HANDLE thread = CreateThread(nullptr, 0, assert_dialog_thread, &dialog, 0, nullptr);
    if (thread != nullptr) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    } else {
        assert_dialog_thread(&dialog);
    }
    if (dialog.result == IDCANCEL) {
        ExitProcess(kAssertAbortExitCode);
    } else if (dialog.result == IDYES) {
        DebugBreak();
    }
}

}  // namespace mrak::exception

namespace mrak::vexa {

std::string where_text(const char* function, const char* expression) {
    std::string where = function;
    if (expression != nullptr) {
        where += ": \"";
        where += expression;
        where += "\"";
    }
    return where;
}

}  // namespace mrak::vexa
