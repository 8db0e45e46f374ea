// The framework's string object, shared by WdfString* and the registry's string queries.
#pragma once

#include <string>

#include "fx_object.h"

namespace platform::kmdf {

class FxString : public FxObject {
public:
    static constexpr FxType kType = FxType::String;

    FxString() : FxObject(FxType::String) {}
    // The text stays put until it is assigned anew: UNICODE_STRINGs handed out point into it.
    void assign(std::u16string_view text) { text_.assign(text.begin(), text.end()); }
    const std::u16string& text() const { return text_; }

private:
    std::u16string text_;
};

}  // namespace platform::kmdf
