// Waits on events (the machine's, by the process's handles; such a wait fails
// once the machine behind the socket has gone), mutexes and
// threads (this program's), one at a time or any of several.
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <vector>

#include "client_objects.h"
#include "platform/kernel/event_object.h"
#include "user_process.h"

using namespace platform::win32;

namespace {

// One object of a wait, with what taking it means.
struct Waitable {
    int fd = -1;
    platform::EventObject* event = nullptr;  // referenced for the wait
    std::shared_ptr<ClientObject> object;
};

class WaitSet {
public:
    ~WaitSet() {
        for (Waitable& w : items_) {
            if (w.event != nullptr) w.event->release();
        }
    }

    // False (ERROR_INVALID_HANDLE) when a handle names nothing that can be waited on.
    bool add(HANDLE handle) {
        Waitable w;
        if (handle == kCurrentThreadPseudoHandle) {
            w.object = current_thread_object();
        } else {
            w.object = find_client_object(handle);
        }
        if (w.object) {
            w.fd = w.object->fd();
        } else if (handle != kCurrentThreadPseudoHandle) {
            UserProcess* process = current_process();
            w.event = process != nullptr ? process->reference_event(handle) : nullptr;
            if (w.event != nullptr) {
                w.fd = w.event->fd();
                // The machine's events go with the machine: so does a wait on them.
                if (goneFd_ < 0) goneFd_ = process->machine_gone_fd();
            }
        }
        if (w.fd < 0) return false;
        items_.push_back(std::move(w));
        return true;
    }

    // Takes the lowest-indexed object that can be taken now, taking nothing else.
    std::optional<DWORD> take() {
        for (size_t i = 0; i < items_.size(); ++i) {
            Waitable& w = items_[i];
            if (w.event != nullptr) {
                if (w.event->wait(0)) return WAIT_OBJECT_0 + static_cast<DWORD>(i);
            } else if (w.object->kind() == ClientObject::Kind::Mutex) {
                switch (try_take_mutex(std::static_pointer_cast<MutexObject>(w.object))) {
                    case Take::Yes: return WAIT_OBJECT_0 + static_cast<DWORD>(i);
                    case Take::Abandoned: return WAIT_ABANDONED_0 + static_cast<DWORD>(i);
                    case Take::No: break;
                }
            } else {
                // Read under the thread's lock, which its end was recorded under: what the
                // thread did happens before the wait returns.
                auto& thread = static_cast<ThreadObject&>(*w.object);
                std::lock_guard lock(thread.lock);
                if (!thread.running) return WAIT_OBJECT_0 + static_cast<DWORD>(i);
            }
        }
        return std::nullopt;
    }

    // Until one of the objects may be signalled, the machine goes, or `timeoutMs` (-1: forever) passes.
    bool sleep(int timeoutMs) {
        std::vector<pollfd> fds;
        for (Waitable& w : items_) fds.push_back(pollfd{w.fd, POLLIN, 0});
        if (goneFd_ >= 0) fds.push_back(pollfd{goneFd_, POLLIN, 0});
        int ready = poll(fds.data(), fds.size(), timeoutMs);
        return ready > 0 || (ready < 0 && errno == EINTR);
    }

    // The machine whose events the wait takes has gone.
    bool machine_gone() const {
        if (goneFd_ < 0) return false;
        pollfd p{goneFd_, POLLIN, 0};
        return poll(&p, 1, 0) > 0;
    }

private:
    std::vector<Waitable> items_;
    int goneFd_ = -1;  // the process's, when the wait takes one of the machine's events
};

DWORD Wait(DWORD count, const HANDLE* handles, DWORD milliseconds) {
    WaitSet set;
    for (DWORD i = 0; i < count; ++i) {
        if (!set.add(handles[i])) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (;;) {
        if (auto taken = set.take()) return *taken;
        if (set.machine_gone()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        int remaining = -1;
        if (milliseconds != INFINITE) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return WAIT_TIMEOUT;
            remaining = static_cast<int>(left.count());
        }
        // Another waiter may take what woke this one; then it sleeps again.
        set.sleep(remaining);
    }
}

}  // namespace

DWORD WaitForSingleObject(HANDLE object, DWORD milliseconds) { return Wait(1, &object, milliseconds); }

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || handles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    if (waitAll) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return WAIT_FAILED;
    }
    return Wait(count, handles, milliseconds);
}
