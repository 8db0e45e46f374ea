// Test equipment for the library's system: a system of recording buses that
// logs its own hooks (each scan with its answer, changed, on_exception) in
// a log of its own, and can throw from changed or let go of the
// application's last reference to itself from a hook.
#pragma once

#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>

#include "common/system.h"
#include "support/library_doubles.h"
#include "support/thread_end.h"

namespace vexa::test {

inline std::atomic<int> g_systemsAlive{0};

class RecordingSystem : public mrak::vexa::system<RecordingBus> {
public:
    using reference_type = mrak::vexa::reference<RecordingSystem>;

    // System hooks go to `log`, the buses' and devices' to `busLog`.
    RecordingSystem(HookLog* log, HookLog* busLog) : log_(log), busLog_(busLog) { ++g_systemsAlive; }
    ~RecordingSystem() override {
        if (onDestroy) onDestroy();
        log_->add("system deleted");
        --g_systemsAlive;
    }

    bool scan() override {
        bool answer = system::scan();
        log_->add(answer ? "scan true" : "scan false");
        return answer;
    }
    void changed() override {
        log_->add("changed " + std::to_string(bus_count()));
        if (throwOnChanged_.exchange(false)) throw std::runtime_error("not a library error");
        if (throwLibraryOnChanged_.exchange(false)) {
            throw mrak::vexa::make_xptn<mrak::vexa::xptn_device>("test", 7, "changed");
        }
        if (reference_type* drop = dropInChanged_.exchange(nullptr)) {
            if (ThreadEnd* end = dropThreadEnd_.exchange(nullptr)) end->arm();
            drop->release();
        }
        system::changed();
    }
    void on_exception(const mrak::exception::base& e) override {
        log_->add("on_exception " + e.type() + " " + std::to_string(e.line()));
    }
    RecordingBus* new_bus() override { return new RecordingBus(busLog_); }

    // Runs first in the destructor, on the thread that deletes the system.
    std::function<void()> onDestroy;

    // The next changed throws a foreign exception, or a library one.
    void throw_on_changed() { throwOnChanged_ = true; }
    void throw_library_on_changed() { throwLibraryOnChanged_ = true; }
    // The next changed lets go of `ref` (the application's last reference to
    // this system); `end` is told when the thread it runs on has ended.
    void drop_in_changed(reference_type* ref, ThreadEnd* end) {
        dropThreadEnd_ = end;
        dropInChanged_ = ref;
    }

private:
    HookLog* log_;
    HookLog* busLog_;
    std::atomic<bool> throwOnChanged_{false};
    std::atomic<bool> throwLibraryOnChanged_{false};
    std::atomic<reference_type*> dropInChanged_{nullptr};
    std::atomic<ThreadEnd*> dropThreadEnd_{nullptr};
};

using SystemRef = RecordingSystem::reference_type;

}  // namespace vexa::test
