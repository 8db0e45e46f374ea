// An event object that user-mode processes create and the kernel may reference
// by handle. Its state lives in an eventfd, so a process on the far side of
// the machine's socket waits on and sets the very same object; the kernel sees
// it as a KEVENT (KeSetEvent and friends recognise it).
#pragma once

#include <atomic>

#include "sync.h"

namespace platform {

class EventObject {
public:
    // Takes ownership of `fd` (an eventfd), or creates one when it is -1.
    // Null when no descriptor can be had. The caller holds one reference.
    static EventObject* create(bool manualReset, bool initialState, int fd = -1);
    // The object behind a KEVENT that kevent() handed out; null for any other KEVENT.
    static EventObject* from_kevent(KEVENT* event);

    KEVENT* kevent() { return &event_; }
    int fd() const { return fd_; }
    bool manual_reset() const { return manualReset_; }

    void set();
    void reset();
    bool signalled() const;
    // Waits up to `timeoutMs` of wall-clock time (-1: forever); an auto-reset
    // event is consumed by the waiter that gets it. True when signalled.
    bool wait(int timeoutMs);

    void reference() { references_.fetch_add(1, std::memory_order_relaxed); }
    void release();

private:
    EventObject(bool manualReset, int fd);
    ~EventObject();

    KEVENT event_{};  // header marked so the kernel's event calls find this object
    int fd_;
    bool manualReset_;
    std::atomic<int> references_{1};
};

}  // namespace platform
