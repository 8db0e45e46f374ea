// What vexa-machine's "tone" command does: the WDM audio driver's stand-in on
// the current interface plays a tone into its render stream for a while, the
// interface loops it back, and its capture stream checks what came back: the
// level, the latency and whether every sample arrived as it was played. It
// holds the stand-in's image, so the record outlives the machine loading and
// unloading it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "tools/doubles/wdm_double.h"

namespace vexa::machine {

class ToneCheck {
public:
    explicit ToneCheck(const std::filesystem::path& doublesDir);
    ~ToneCheck();
    ToneCheck(const ToneCheck&) = delete;
    ToneCheck& operator=(const ToneCheck&) = delete;

    bool available() const { return state_ != nullptr && open_ != nullptr && close_ != nullptr; }
    // Plays for `ms` of wall time at `rate` Hz with `bits` (16 or 24); the line to print.
    std::string run(uint32_t rate, uint32_t bits, unsigned ms);

private:
    void* image_ = nullptr;
    doubles::WdmDoubleState* state_ = nullptr;
    doubles::WdmDoubleOpenStreamsFn open_ = nullptr;
    doubles::WdmDoubleCloseStreamsFn close_ = nullptr;
};

}  // namespace vexa::machine
