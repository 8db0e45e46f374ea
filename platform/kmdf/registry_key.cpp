// The driver's Parameters key and the values in it.
#include <algorithm>

#include "fx_driver.h"
#include "fx_object.h"
#include "fx_string.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"
#include "platform/kmdf/wdf_registry.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry.h"

namespace platform::kmdf {
namespace {

// A counted string longer than its buffer says is a broken string, not a long one.
bool Readable(PCUNICODE_STRING text) {
    return text != nullptr && (text->Length == 0 || text->Buffer != nullptr) && text->Length % sizeof(WCHAR) == 0 &&
           text->Length <= text->MaximumLength;
}

class FxKey : public FxObject {
public:
    static constexpr FxType kType = FxType::Key;

    explicit FxKey(std::u16string path) : FxObject(FxType::Key), path_(std::move(path)) {}
    const std::u16string& path() const { return path_; }

private:
    std::u16string path_;
};


}  // namespace
}  // namespace platform::kmdf

using namespace platform::kmdf;

NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER driver, ACCESS_MASK, PWDF_OBJECT_ATTRIBUTES attributes,
                                            WDFKEY* key) {
    platform::require_passive("WdfDriverOpenParametersRegistryKey");
    auto* fxDriver = object_of<FxDriver>(driver, "WdfDriverOpenParametersRegistryKey");
    if (fxDriver == nullptr || key == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfDriverOpenParametersRegistryKey")) return *status;
    std::u16string path = fxDriver->registry_path() + u"\\Parameters";
    if (!platform::Machine::current().registry().key_exists(path)) return STATUS_OBJECT_NAME_NOT_FOUND;
    auto* fx = new FxKey(path);
    NTSTATUS status = fx->attach(attributes, fxDriver);
    if (!NT_SUCCESS(status)) {
        fx->release();
        return status;
    }
    *key = fx->as_handle<WDFKEY>();
    return STATUS_SUCCESS;
}

void WdfRegistryClose(WDFKEY key) {
    if (FxKey* fx = object_of<FxKey>(key, "WdfRegistryClose")) fx->delete_object();
}

NTSTATUS WdfRegistryQueryULong(WDFKEY key, PCUNICODE_STRING valueName, ULONG* value) {
    platform::require_passive("WdfRegistryQueryULong");
    FxKey* fx = object_of<FxKey>(key, "WdfRegistryQueryULong");
    if (fx == nullptr || valueName == nullptr || value == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfRegistryQueryULong")) return *status;
    auto stored = platform::Machine::current().registry().get(fx->path(), platform::view(*valueName));
    if (!stored.has_value()) return STATUS_OBJECT_NAME_NOT_FOUND;
    auto dword = stored->as_dword();
    if (!dword.has_value()) return STATUS_OBJECT_TYPE_MISMATCH;
    *value = *dword;
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryAssignULong(WDFKEY key, PCUNICODE_STRING valueName, ULONG value) {
    platform::require_passive("WdfRegistryAssignULong");
    FxKey* fx = object_of<FxKey>(key, "WdfRegistryAssignULong");
    if (fx == nullptr || valueName == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfRegistryAssignULong")) return *status;
    platform::Machine::current().registry().set(fx->path(), platform::view(*valueName),
                                                platform::RegValue::dword(value));
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryValue(WDFKEY key, PCUNICODE_STRING valueName, ULONG valueLength, PVOID value,
                               ULONG* valueLengthQueried, ULONG* valueType) {
    platform::require_passive("WdfRegistryQueryValue");
    FxKey* fx = object_of<FxKey>(key, "WdfRegistryQueryValue");
    if (fx == nullptr || valueName == nullptr || (valueLength != 0 && value == nullptr)) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfRegistryQueryValue")) return *status;
    auto stored = platform::Machine::current().registry().get(fx->path(), platform::view(*valueName));
    if (!stored.has_value()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (valueLengthQueried != nullptr) *valueLengthQueried = static_cast<ULONG>(stored->data.size());
    if (valueType != nullptr) *valueType = static_cast<ULONG>(stored->type);
    if (stored->data.size() > valueLength) return STATUS_BUFFER_OVERFLOW;
    std::copy(stored->data.begin(), stored->data.end(), static_cast<uint8_t*>(value));
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryAssignValue(WDFKEY key, PCUNICODE_STRING valueName, ULONG valueType, ULONG valueLength,
                                PVOID value) {
    platform::require_passive("WdfRegistryAssignValue");
    FxKey* fx = object_of<FxKey>(key, "WdfRegistryAssignValue");
    if (fx == nullptr || valueName == nullptr || (valueLength != 0 && value == nullptr)) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfRegistryAssignValue")) return *status;
    auto* bytes = static_cast<const uint8_t*>(value);
    platform::RegValue stored{static_cast<platform::RegType>(valueType),
                              std::vector<uint8_t>(bytes, bytes + valueLength)};
    platform::Machine::current().registry().set(fx->path(), platform::view(*valueName), std::move(stored));
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryQueryString(WDFKEY key, PCUNICODE_STRING valueName, WDFSTRING string) {
    platform::require_passive("WdfRegistryQueryString");
    FxKey* fx = object_of<FxKey>(key, "WdfRegistryQueryString");
    auto* target = object_of<platform::kmdf::FxString>(string, "WdfRegistryQueryString");
    if (fx == nullptr || target == nullptr || valueName == nullptr) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfRegistryQueryString")) return *status;
    auto stored = platform::Machine::current().registry().get(fx->path(), platform::view(*valueName));
    if (!stored.has_value()) return STATUS_OBJECT_NAME_NOT_FOUND;
    if (stored->type != platform::RegType::String) return STATUS_OBJECT_TYPE_MISMATCH;
    target->assign(*stored->as_string());
    return STATUS_SUCCESS;
}

NTSTATUS WdfRegistryAssignUnicodeString(WDFKEY key, PCUNICODE_STRING valueName, PCUNICODE_STRING value) {
    platform::require_passive("WdfRegistryAssignUnicodeString");
    FxKey* fx = object_of<FxKey>(key, "WdfRegistryAssignUnicodeString");
    if (fx == nullptr || valueName == nullptr || !Readable(value)) return STATUS_INVALID_PARAMETER;
    if (auto status = platform::fault::hit("WdfRegistryAssignUnicodeString")) return *status;
    platform::Machine::current().registry().set(fx->path(), platform::view(*valueName),
                                                platform::RegValue::string(platform::view(*value)));
    return STATUS_SUCCESS;
}
