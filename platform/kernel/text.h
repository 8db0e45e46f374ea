// Text as the kernel keeps it (UTF-16, counted strings) and as the rest of
// the layer speaks it (UTF-8), and the one case folding the object manager,
// the registry and the string compares share: ASCII and Latin-1 letters, as
// the names this system uses need.
#pragma once

#include <string>
#include <string_view>

#include "nt_types.h"

namespace platform {

std::string narrow(std::u16string_view text);
std::u16string widen(std::string_view text);
std::u16string_view view(const UNICODE_STRING& text);

bool equal_case_insensitive(std::u16string_view a, std::u16string_view b);

struct CaseInsensitiveLess {
    using is_transparent = void;
    bool operator()(std::u16string_view a, std::u16string_view b) const;
};

}  // namespace platform
