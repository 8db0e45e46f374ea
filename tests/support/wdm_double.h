// Test access to the WDM audio driver's stand-in: its image stays loaded for
// the holder's life, so its record survives the machine loading and
// unloading it; its streams are opened and closed through its exports.
#pragma once

#include <dlfcn.h>

#include <stdexcept>
#include <string>

#include "tools/doubles/wdm_double.h"

namespace vexa::test {

class WdmDouble {
public:
    explicit WdmDouble(const std::string& dir) {
        image_ = dlopen((dir + "/" + doubles::kWdmService + ".so").c_str(), RTLD_NOW | RTLD_LOCAL);
        if (image_ == nullptr) throw std::runtime_error(dlerror());
        state_ = reinterpret_cast<doubles::WdmDoubleGetStateFn>(dlsym(image_, "WdmDoubleGetState"))();
        open_ = reinterpret_cast<doubles::WdmDoubleOpenStreamsFn>(dlsym(image_, "WdmDoubleOpenStreams"));
        close_ = reinterpret_cast<doubles::WdmDoubleCloseStreamsFn>(dlsym(image_, "WdmDoubleCloseStreams"));
        state_->reset();
    }
    ~WdmDouble() { dlclose(image_); }
    WdmDouble(const WdmDouble&) = delete;
    WdmDouble& operator=(const WdmDouble&) = delete;

    doubles::WdmDoubleState& state() { return *state_; }
    template <typename Fn>
    void knobs(Fn fn) {
        std::lock_guard guard(state_->lock);
        fn(state_->knobs);
    }
    // PASSIVE_LEVEL: capture, then render, opened and run on the newest running device.
    int32_t open_streams(const doubles::WdmStreamConfig& config) { return open_(&config); }
    int32_t close_streams() { return close_(); }
    // The newest device the double served (throws when none).
    doubles::WdmDoubleDevice& device() {
        std::lock_guard guard(state_->lock);
        if (state_->devices.empty()) throw std::runtime_error("the WDM double served no device");
        return *state_->devices.back();
    }
    // A copy of the newest device's stream of a direction, taken under the lock.
    doubles::WdmDoubleStream stream(bool render) {
        std::lock_guard guard(state_->lock);
        doubles::WdmDoubleStream copy;
        if (state_->devices.empty()) return copy;
        for (const auto& s : state_->devices.back()->streams) {
            if (s.render == render) copy = s;
        }
        copy.buffer.clear();
        return copy;
    }
    unsigned count_calls(const std::string& what) {
        std::lock_guard guard(state_->lock);
        unsigned n = 0;
        for (const auto& call : state_->calls) n += call.what == what;
        return n;
    }

private:
    void* image_ = nullptr;
    doubles::WdmDoubleState* state_ = nullptr;
    doubles::WdmDoubleOpenStreamsFn open_ = nullptr;
    doubles::WdmDoubleCloseStreamsFn close_ = nullptr;
};

}  // namespace vexa::test
