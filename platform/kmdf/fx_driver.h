// The framework driver object of one loaded driver image.
#pragma once

#include <string>

#include "fx_object.h"
#include "platform/kmdf/wdf_driver.h"

namespace platform::kmdf {

class FxDriver : public FxObject {
public:
    FxDriver(DRIVER_OBJECT* wdm, WDF_DRIVER_GLOBALS* globals, const WDF_DRIVER_CONFIG& config,
             std::u16string registryPath);

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
