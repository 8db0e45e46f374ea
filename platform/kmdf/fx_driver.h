// The framework driver object of one loaded driver image. It stands in the
// WDM driver object's routines: the PnP manager's AddDevice reaches the
// driver's EvtDriverDeviceAdd, and the loader's unload its EvtDriverUnload.
#pragma once

#include <string>

#include "fx_object.h"
#include "platform/kmdf/wdf_driver.h"

namespace platform::kmdf {

class FxDriver : public FxObject {
public:
    static constexpr FxType kType = FxType::Driver;

    FxDriver(DRIVER_OBJECT* wdm, WDF_DRIVER_GLOBALS* globals, const WDF_DRIVER_CONFIG& config,
             std::u16string registryPath);

    // The framework driver of a WDM driver object; null when it has none.
    static FxDriver* of(DRIVER_OBJECT* wdm);

    DRIVER_OBJECT* wdm() const { return wdm_; }
    const WDF_DRIVER_CONFIG& config() const { return config_; }
    const std::u16string& registry_path() const { return registryPath_; }

    // The framework's unload: EvtDriverUnload, then the object's deletion.
    void unload();

protected:
    void destroy() override;

private:
    DRIVER_OBJECT* wdm_;
    WDF_DRIVER_GLOBALS* globals_;
    WDF_DRIVER_CONFIG config_;
    std::u16string registryPath_;
};

}  // namespace platform::kmdf
