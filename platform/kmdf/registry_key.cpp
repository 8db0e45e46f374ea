// The driver's Parameters key and ULONG values in it.
#include "fx_driver.h"
#include "fx_object.h"
#include "platform/kernel/fault.h"
#include "platform/kernel/rules.h"
#include "platform/kmdf/wdf_registry.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry.h"

namespace platform::kmdf {
namespace {

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
