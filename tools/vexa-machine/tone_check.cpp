#include "tone_check.h"

#include <dlfcn.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

namespace vexa::machine {
namespace {

constexpr double kToneHz = 997.0;
constexpr double kToneLevel = 0.5;

std::string Decibels(double level) {
    char text[32];
    if (level <= 0) return "-inf dBFS";
    std::snprintf(text, sizeof(text), "%.1f dBFS", 20 * std::log10(level));
    return text;
}

}  // namespace

ToneCheck::ToneCheck(const std::filesystem::path& doublesDir) {
    image_ = dlopen((doublesDir / (std::string(doubles::kWdmService) + ".so")).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (image_ == nullptr) return;
    auto get = reinterpret_cast<doubles::WdmDoubleGetStateFn>(dlsym(image_, "WdmDoubleGetState"));
    state_ = get != nullptr ? get() : nullptr;
    open_ = reinterpret_cast<doubles::WdmDoubleOpenStreamsFn>(dlsym(image_, "WdmDoubleOpenStreams"));
    close_ = reinterpret_cast<doubles::WdmDoubleCloseStreamsFn>(dlsym(image_, "WdmDoubleCloseStreams"));
}

ToneCheck::~ToneCheck() {
    if (image_ != nullptr) dlclose(image_);
}

std::string ToneCheck::run(uint32_t rate, uint32_t bits, unsigned ms) {
    if (!available()) return "the WDM audio driver is not installed";
    doubles::WdmStreamConfig config;
    config.rate = rate;
    config.bits = bits;
    config.signal = doubles::WdmSignal::Tone;
    config.toneHz = kToneHz;
    config.toneLevel = kToneLevel;
    char head[96];
    std::snprintf(head, sizeof(head), "tone %.0f Hz at %u Hz, %u bits: ", kToneHz, rate, bits);
    int32_t status = open_(&config);
    if (status < 0) {
        (void)close_();
        char text[96];
        std::snprintf(text, sizeof(text), "the WDM streams did not open (status 0x%08X)", static_cast<unsigned>(status));
        return head + std::string(text);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    (void)close_();

    std::lock_guard guard(state_->lock);
    const doubles::WdmDoubleStream* render = nullptr;
    const doubles::WdmDoubleStream* capture = nullptr;
    if (!state_->devices.empty()) {
        for (const auto& s : state_->devices.back()->streams) (s.render ? render : capture) = &s;
    }
    if (render == nullptr || capture == nullptr) return head + std::string("no streams");
    if (capture->checked == 0) {
        return std::string(head) + "played " + std::to_string(render->frames) + " frames, nothing came back";
    }
    int64_t latency = capture->firstSound - state_->devices.back()->captureAtRenderStart;
    double rms = std::sqrt(capture->sumSquares / static_cast<double>(capture->checked));
    char tail[160];
    std::snprintf(tail, sizeof(tail), "; checksum %016llx, played %016llx: ",
                  static_cast<unsigned long long>(capture->checksum),
                  static_cast<unsigned long long>(capture->expectedChecksum));
    std::string verdict = capture->mismatches == 0 && capture->checksum == capture->expectedChecksum
                              ? "bit-exact"
                              : "NOT bit-exact (" + std::to_string(capture->mismatches) + " samples differ)";
    return std::string(head) + "played " + std::to_string(render->frames) + " frames, " + std::to_string(capture->checked) +
           " came back after " + std::to_string(latency) + " frames at " + Decibels(rms) + " RMS (peak " +
           Decibels(capture->peak) + ")" + tail + verdict;
}

}  // namespace vexa::machine
