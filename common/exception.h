// The device-access library's failure report: one family of exception
// classes rooted in mrak::exception::base, thrown by value. Each object
// carries where it was raised (source file, line, function and the failed
// expression), its class and direct parent as text, and a message fixed per
// class. Constructing one whose type the process-wide filter names shows the
// assertion dialog first (a debugging aid; nothing in the system fills the filter).
#pragma once

#include <cstdint>
#include <deque>
#include <exception>
#include <string>

#include "platform/win32/windows.h"

namespace mrak::exception {

class base : public virtual std::exception {
public:
    // Every class takes these five, unchanged, and the thrower supplies the
    // class's own message and type text (see make_xptn in xptn.h).
    base(std::string file, uint32_t line, std::string where, std::string message, std::string type);
    base(const base& other) = default;
    base& operator=(const base& other) = default;
    ~base() override;

    std::string message() const { return m_message; }
    const std::string& file() const { return m_file; }
    const std::string& type() const { return m_type; }
    const std::string& where() const { return m_where; }
    uint32_t line() const { return m_line; }

private:
    std::string m_file;
    std::string m_type;
    std::string m_where;
    std::string m_message;
    uint32_t m_line;
};

// Type texts (or "*" for every class) whose construction shows the assertion
// dialog. Empty from static initialisation to program exit in the system;
// only tests add to it, while no library thread runs.
extern std::deque<std::string> static_exception_filter;

// Asks the user on a thread of its own (the box blocks that thread while the
// caller waits): Yes breaks into the debugger, No goes on, Cancel ends the
// process with kAssertAbortExitCode.
void assert_dialog(std::string caption, std::string text, std::string file);
DWORD assert_dialog_thread(LPVOID context);

// Nonzero, so whoever started the program sees that it was aborted.
inline constexpr UINT kAssertAbortExitCode = 3;

}  // namespace mrak::exception
