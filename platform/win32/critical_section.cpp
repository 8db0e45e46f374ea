// Critical sections of this program's threads: a recursive owner lock built
// on a host mutex and condition, with the rules Windows leaves undefined
// reported instead of corrupting the lock.
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "platform/kernel/rules.h"
#include "user_process.h"
#include "windows.h"

struct CriticalSectionState {
    std::mutex lock;
    std::condition_variable freed;
    uint64_t owner = 0;      // guarded by lock: the owning thread's token, 0 when free
    unsigned recursion = 0;  // guarded by lock
};

namespace {

uint64_t Self() {
    thread_local const uint64_t token = platform::win32::current_thread_token();
    return token;
}

std::string Describe(const CRITICAL_SECTION* section) {
    char text[32];
    std::snprintf(text, sizeof(text), "%p", static_cast<const void*>(section));
    return text;
}

// The state of an initialised section; null (reported) for anything else.
CriticalSectionState* StateOf(CRITICAL_SECTION* section, const char* call) {
    if (section == nullptr || section->State == nullptr) {
        platform::rule_violation(std::string(call) + " on a critical section that is not initialised",
                                 section == nullptr ? "null" : Describe(section));
        return nullptr;
    }
    return section->State;
}

}  // namespace

void InitializeCriticalSection(LPCRITICAL_SECTION section) {
    if (section == nullptr) {
        platform::rule_violation("InitializeCriticalSection on no critical section", "null");
        return;
    }
    if (section->State != nullptr) {
        platform::rule_violation("InitializeCriticalSection on one already initialised", Describe(section));
        return;
    }
    section->State = new CriticalSectionState;
}

void EnterCriticalSection(LPCRITICAL_SECTION section) {
    CriticalSectionState* state = StateOf(section, "EnterCriticalSection");
    if (state == nullptr) return;
    uint64_t self = Self();
    std::unique_lock lock(state->lock);
    if (state->owner == self) {
        ++state->recursion;
        return;
    }
    state->freed.wait(lock, [&] { return state->owner == 0; });
    state->owner = self;
    state->recursion = 1;
}

BOOL TryEnterCriticalSection(LPCRITICAL_SECTION section) {
    CriticalSectionState* state = StateOf(section, "TryEnterCriticalSection");
    if (state == nullptr) return FALSE;
    uint64_t self = Self();
    std::lock_guard lock(state->lock);
    if (state->owner == self) {
        ++state->recursion;
        return TRUE;
    }
    if (state->owner != 0) return FALSE;
    state->owner = self;
    state->recursion = 1;
    return TRUE;
}

void LeaveCriticalSection(LPCRITICAL_SECTION section) {
    CriticalSectionState* state = StateOf(section, "LeaveCriticalSection");
    if (state == nullptr) return;
    std::lock_guard lock(state->lock);
    if (state->owner != Self()) {
        platform::rule_violation("LeaveCriticalSection by a thread that does not own it", Describe(section));
        return;
    }
    if (--state->recursion == 0) {
        state->owner = 0;
        state->freed.notify_one();
    }
}

void DeleteCriticalSection(LPCRITICAL_SECTION section) {
    CriticalSectionState* state = StateOf(section, "DeleteCriticalSection");
    if (state == nullptr) return;
    {
        std::lock_guard lock(state->lock);
        if (state->owner != 0) {
            platform::rule_violation("DeleteCriticalSection on one a thread holds", Describe(section));
            return;
        }
    }
    section->State = nullptr;
    delete state;
}
