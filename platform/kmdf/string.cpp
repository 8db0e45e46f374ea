// Framework string objects.
#include "fx_string.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"
#include "platform/kernel/text.h"
#include "platform/kmdf/wdf_string.h"

namespace platform::kmdf {

NTSTATUS StringCreate(WDF_DRIVER_GLOBALS* globals, PCUNICODE_STRING text, PWDF_OBJECT_ATTRIBUTES attributes,
                      WDFSTRING* string) {
    require_passive("WdfStringCreate");
    if (string == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = fault::hit("WdfStringCreate")) return *status;
    auto* fx = new FxString();
    if (text != nullptr) fx->assign(view(*text));
    FxObject* parent = globals->Driver != nullptr ? FxObject::from(globals->Driver, "WdfStringCreate") : nullptr;
    NTSTATUS status = fx->attach(attributes, parent);
    if (!NT_SUCCESS(status)) {
        fx->release();
        return status;
    }
    *string = fx->as_handle<WDFSTRING>();
    return STATUS_SUCCESS;
}

}  // namespace platform::kmdf

void WdfStringGetUnicodeString(WDFSTRING string, PUNICODE_STRING text) {
    auto* fx = platform::kmdf::object_of<platform::kmdf::FxString>(string, "WdfStringGetUnicodeString");
    if (fx == nullptr || text == nullptr) return;
    const std::u16string& stored = fx->text();
    text->Buffer = const_cast<PWCH>(stored.c_str());
    text->Length = static_cast<USHORT>(stored.size() * sizeof(WCHAR));
    text->MaximumLength = static_cast<USHORT>(text->Length + sizeof(WCHAR));
}
