// Test access to the probe driver image: the fixture keeps the image loaded
// for the whole test, so its record survives the machine unloading it.
#pragma once

#include <dlfcn.h>

#include <stdexcept>
#include <string>

#include "support/probe_driver.h"

namespace vexa::test {

class ProbeImage {
public:
    explicit ProbeImage(const std::string& path) : path_(path) {
        module_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (module_ == nullptr) throw std::runtime_error(dlerror());
        auto get = reinterpret_cast<ProbeGetStateFn>(dlsym(module_, "ProbeGetState"));
        state_ = get();
        state_->take();
        state_->failEntry = state_->failAdd = state_->failPrepare = state_->failD0Entry = 0;
        state_->createWorkItemInD0Entry = false;
        state_->workItemRuns = 0;
    }
    ~ProbeImage() { dlclose(module_); }
    ProbeImage(const ProbeImage&) = delete;
    ProbeImage& operator=(const ProbeImage&) = delete;

    ProbeState& state() { return *state_; }
    const std::string& path() const { return path_; }

private:
    std::string path_;
    void* module_;
    ProbeState* state_;
};

}  // namespace vexa::test
