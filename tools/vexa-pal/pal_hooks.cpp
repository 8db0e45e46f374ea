#include "pal_hooks.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>

namespace vexa::pal_tool {

void hook_log::show(bool shown) {
    std::lock_guard hold(lock_);
    shown_ = shown;
}

void hook_log::line(const char* format, ...) {
    std::lock_guard hold(lock_);
    if (!shown_) return;
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
    std::fflush(stdout);
}

void hook_log::updated() {
    std::lock_guard hold(lock_);
    ++updates_;
    changed_.notify_all();
}

void hook_log::failed(const std::string& what, bool fatal) {
    std::lock_guard hold(lock_);
    ++failures_;
    failure_ = what;
    fatal_ = fatal_ || fatal;
    changed_.notify_all();
}

void hook_log::stop() {
    std::lock_guard hold(lock_);
    stopped_ = true;
    changed_.notify_all();
}

hook_log::mark hook_log::now() {
    std::lock_guard hold(lock_);
    return {updates_, failures_};
}

hook_log::outcome hook_log::wait_update(mark since, uint32_t timeoutMs, std::string* failure) {
    std::unique_lock hold(lock_);
    bool ended = changed_.wait_for(hold, std::chrono::milliseconds(timeoutMs), [&] {
        return updates_ > since.updates || failures_ > since.failures || fatal_;
    });
    if (!ended) return outcome::timed_out;
    if (updates_ > since.updates) return outcome::updated;
    *failure = failure_;
    return outcome::failed;
}

bool hook_log::wait_stop(std::string* failure) {
    std::unique_lock hold(lock_);
    changed_.wait(hold, [&] { return stopped_ || fatal_; });
    if (stopped_) return true;
    *failure = failure_;
    return false;
}

}  // namespace vexa::pal_tool
