#include "fault.h"

#include <atomic>
#include <map>
#include <mutex>

namespace platform::fault {
namespace {

struct Armed {
    NTSTATUS status = 0;
    unsigned skip = 0;
    unsigned remaining = 0;  // 0 with `forever` set: fails on every call
    bool forever = false;
    unsigned fired = 0;
};

std::mutex g_lock;
std::map<std::string, Armed, std::less<>> g_armed;  // guarded by g_lock
std::mutex g_observerLock;
std::function<void(std::string_view)> g_observer;  // guarded by g_observerLock

}  // namespace

namespace detail {
// Whether any fault was armed since the last clear: the calls that ask on
// every frame skip the lock while none is (written under g_lock, release; read acquire).
std::atomic<bool> g_anyArmed{false};
// The observer: set and cleared by its guard; the flag spares every call the lock while none is set.
std::atomic<bool> g_observed{false};
}  // namespace detail

using detail::g_anyArmed;
using detail::g_observed;

ScopedObserver::ScopedObserver(std::function<void(std::string_view call)> observer) {
    std::lock_guard lock(g_observerLock);
    g_observer = std::move(observer);
    g_observed.store(true, std::memory_order_release);
}

ScopedObserver::~ScopedObserver() {
    std::lock_guard lock(g_observerLock);
    g_observed.store(false, std::memory_order_release);
    g_observer = nullptr;
}

void inject(std::string_view call, NTSTATUS status, unsigned skip, unsigned count) {
    std::lock_guard lock(g_lock);
    g_armed[std::string(call)] = Armed{status, skip, count, count == 0, 0};
    g_anyArmed.store(true, std::memory_order_release);
}

void clear() {
    std::lock_guard lock(g_lock);
    g_armed.clear();
    g_anyArmed.store(false, std::memory_order_release);
}

std::optional<NTSTATUS> detail::hit_checked(std::string_view call) {
    if (g_observed.load(std::memory_order_acquire)) {
        std::function<void(std::string_view)> observer;
        {
            std::lock_guard lock(g_observerLock);
            observer = g_observer;
        }
        if (observer) observer(call);
    }
    if (!g_anyArmed.load(std::memory_order_acquire)) return std::nullopt;
    std::lock_guard lock(g_lock);
    auto it = g_armed.find(call);
    if (it == g_armed.end()) return std::nullopt;
    Armed& armed = it->second;
    if (armed.skip > 0) {
        --armed.skip;
        return std::nullopt;
    }
    if (!armed.forever) {
        if (armed.remaining == 0) return std::nullopt;
        --armed.remaining;
    }
    ++armed.fired;
    return armed.status;
}

unsigned fired(std::string_view call) {
    std::lock_guard lock(g_lock);
    auto it = g_armed.find(call);
    return it == g_armed.end() ? 0 : it->second.fired;
}

}  // namespace platform::fault
