// The user32 calls the system makes (part of windows.h; include that). There
// is no window system: no window is ever in the foreground, and a message
// box is written to standard error and answered by the responder a test
// installed, else by its default button.
#pragma once

#include <functional>
#include <string>

inline constexpr UINT MB_OK = 0x0;
inline constexpr UINT MB_OKCANCEL = 0x1;
inline constexpr UINT MB_ABORTRETRYIGNORE = 0x2;
inline constexpr UINT MB_YESNOCANCEL = 0x3;
inline constexpr UINT MB_YESNO = 0x4;
inline constexpr UINT MB_RETRYCANCEL = 0x5;
inline constexpr UINT MB_CANCELTRYCONTINUE = 0x6;
inline constexpr UINT MB_ICONERROR = 0x10;
inline constexpr UINT MB_ICONHAND = MB_ICONERROR;
inline constexpr UINT MB_ICONWARNING = 0x30;
inline constexpr UINT MB_ICONINFORMATION = 0x40;
inline constexpr UINT MB_DEFBUTTON1 = 0x000;
inline constexpr UINT MB_DEFBUTTON2 = 0x100;
inline constexpr UINT MB_DEFBUTTON3 = 0x200;
inline constexpr UINT MB_DEFBUTTON4 = 0x300;
inline constexpr UINT MB_TASKMODAL = 0x2000;
inline constexpr UINT MB_SETFOREGROUND = 0x10000;

inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDABORT = 3;
inline constexpr int IDRETRY = 4;
inline constexpr int IDIGNORE = 5;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;
inline constexpr int IDTRYAGAIN = 10;
inline constexpr int IDCONTINUE = 11;

inline constexpr int SW_HIDE = 0;
inline constexpr int SW_SHOWNORMAL = 1;

HWND GetForegroundWindow();
int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

namespace platform::win32 {

// Answers every message box (with one of the box's button ids) until replaced; null restores the default button.
using MessageBoxResponder = std::function<int(const std::string& text, const std::string& caption, UINT type)>;
void set_message_box_responder(MessageBoxResponder responder);

}  // namespace platform::win32
