#include "io.h"
#include "text.h"

void RtlInitUnicodeString(UNICODE_STRING* destination, PCWSTR source) {
    size_t length = 0;
    if (source != nullptr) {
        while (source[length] != 0) ++length;
    }
    destination->Buffer = const_cast<PWCH>(source);
    destination->Length = static_cast<USHORT>(length * sizeof(WCHAR));
    destination->MaximumLength = static_cast<USHORT>(source != nullptr ? (length + 1) * sizeof(WCHAR) : 0);
}

bool RtlEqualUnicodeString(const UNICODE_STRING* a, const UNICODE_STRING* b, BOOLEAN caseInsensitive) {
    std::u16string_view x = platform::view(*a);
    std::u16string_view y = platform::view(*b);
    return caseInsensitive ? platform::equal_case_insensitive(x, y) : x == y;
}
