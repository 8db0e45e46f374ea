#include "strsafe.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "ntstatus.h"

namespace {

// Formats `format` into `out`; every conversion goes through the C library's
// narrow printf except the string ones, which copy characters.
void Format(std::u16string* out, PCWSTR format, va_list args) {
    for (const WCHAR* p = format; *p != 0; ++p) {
        if (*p != u'%') {
            out->push_back(*p);
            continue;
        }
        std::string directive = "%";
        ++p;
        while (*p == u'-' || *p == u'+' || *p == u' ' || *p == u'#' || *p == u'0') directive.push_back(static_cast<char>(*p++));
        while (*p >= u'0' && *p <= u'9') directive.push_back(static_cast<char>(*p++));
        int precision = -1;
        if (*p == u'.') {
            directive.push_back('.');
            ++p;
            precision = 0;
            while (*p >= u'0' && *p <= u'9') {
                precision = precision * 10 + (*p - u'0');
                directive.push_back(static_cast<char>(*p++));
            }
        }
        int longs = 0;
        while (*p == u'l') {
            ++longs;
            ++p;
        }
        char buffer[64];
        switch (*p) {
            case u'd':
            case u'i':
                if (longs >= 2) {
                    std::snprintf(buffer, sizeof(buffer), (directive + "lld").c_str(), va_arg(args, long long));
                } else {
                    std::snprintf(buffer, sizeof(buffer), (directive + "d").c_str(), va_arg(args, int));
                }
                for (const char* c = buffer; *c != 0; ++c) out->push_back(static_cast<WCHAR>(*c));
                break;
            case u'u':
            case u'x':
            case u'X': {
                char conversion = static_cast<char>(*p);
                if (longs >= 2) {
                    std::snprintf(buffer, sizeof(buffer), (directive + "ll" + conversion).c_str(),
                                  va_arg(args, unsigned long long));
                } else {
                    std::snprintf(buffer, sizeof(buffer), (directive + conversion).c_str(), va_arg(args, unsigned));
                }
                for (const char* c = buffer; *c != 0; ++c) out->push_back(static_cast<WCHAR>(*c));
                break;
            }
            case u'c':
                out->push_back(static_cast<WCHAR>(va_arg(args, int)));
                break;
            case u's': {
                const WCHAR* text = va_arg(args, const WCHAR*);
                if (text == nullptr) text = u"(null)";
                for (int n = 0; text[n] != 0 && (precision < 0 || n < precision); ++n) out->push_back(text[n]);
                break;
            }
            case u'S': {
                const char* text = va_arg(args, const char*);
                if (text == nullptr) text = "(null)";
                for (int n = 0; text[n] != 0 && (precision < 0 || n < precision); ++n) {
                    out->push_back(static_cast<WCHAR>(static_cast<unsigned char>(text[n])));
                }
                break;
            }
            case u'%':
                out->push_back(u'%');
                break;
            default:
                // An unknown conversion is written as it stands.
                for (char c : directive) out->push_back(static_cast<WCHAR>(c));
                if (*p == 0) return;
                out->push_back(*p);
                break;
        }
    }
}

}  // namespace

NTSTATUS RtlStringCchPrintfW(WCHAR* destination, size_t capacity, PCWSTR format, ...) {
    if (destination == nullptr || capacity == 0 || format == nullptr) return STATUS_INVALID_PARAMETER;
    std::u16string text;
    va_list args;
    va_start(args, format);
    Format(&text, format, args);
    va_end(args);
    bool cut = text.size() >= capacity;
    size_t chars = cut ? capacity - 1 : text.size();
    std::memcpy(destination, text.data(), chars * sizeof(WCHAR));
    destination[chars] = 0;
    return cut ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING destination, PCWSTR format, ...) {
    if (destination == nullptr || destination->Buffer == nullptr || format == nullptr) return STATUS_INVALID_PARAMETER;
    std::u16string text;
    va_list args;
    va_start(args, format);
    Format(&text, format, args);
    va_end(args);
    size_t capacity = destination->MaximumLength / sizeof(WCHAR);
    bool cut = text.size() > capacity;
    size_t chars = cut ? capacity : text.size();
    std::memcpy(destination->Buffer, text.data(), chars * sizeof(WCHAR));
    destination->Length = static_cast<USHORT>(chars * sizeof(WCHAR));
    return cut ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}
