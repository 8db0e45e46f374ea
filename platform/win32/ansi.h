// The ANSI code page of this machine: ISO-8859-1, one byte one UTF-16 unit,
// so every byte string an "A" call is given comes back unchanged.
#pragma once

#include <string>
#include <string_view>

namespace platform::win32 {

inline std::u16string ansi_to_wide(std::string_view text) {
    std::u16string wide(text.size(), u'\0');
    for (size_t i = 0; i < text.size(); ++i) wide[i] = static_cast<char16_t>(static_cast<unsigned char>(text[i]));
    return wide;
}

// A character outside the code page becomes '?', as the system's conversion does.
inline std::string wide_to_ansi(std::u16string_view text) {
    std::string ansi(text.size(), '\0');
    for (size_t i = 0; i < text.size(); ++i) ansi[i] = text[i] <= 0xFF ? static_cast<char>(text[i]) : '?';
    return ansi;
}

}  // namespace platform::win32
