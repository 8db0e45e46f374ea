#include "event_object.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>

namespace platform {
namespace {

constexpr UCHAR kEventObjectMarker = 0xE7;

}  // namespace

EventObject* EventObject::create(bool manualReset, bool initialState, int fd) {
    if (fd < 0) fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return nullptr;
    auto* object = new EventObject(manualReset, fd);
    if (initialState) object->set();
    return object;
}

EventObject::EventObject(bool manualReset, int fd) : fd_(fd), manualReset_(manualReset) {
    KeInitializeEvent(&event_, manualReset ? NotificationEvent : SynchronizationEvent, FALSE);
    event_.Header.Reserved[0] = kEventObjectMarker;
    event_.Header.Reserved2[0] = this;
}

EventObject::~EventObject() { close(fd_); }

EventObject* EventObject::from_kevent(KEVENT* event) {
    if (event == nullptr || event->Header.Reserved[0] != kEventObjectMarker) return nullptr;
    auto* object = static_cast<EventObject*>(event->Header.Reserved2[0]);
    return object != nullptr && object->kevent() == event ? object : nullptr;
}

void EventObject::set() {
    uint64_t one = 1;
    // Only a full counter refuses, and a full counter is signalled already.
    [[maybe_unused]] ssize_t written = write(fd_, &one, sizeof(one));
}

void EventObject::reset() {
    uint64_t value;
    [[maybe_unused]] ssize_t got = read(fd_, &value, sizeof(value));
}

bool EventObject::signalled() const {
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, 0) == 1;
}

bool EventObject::wait(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int remaining = -1;
        if (timeoutMs >= 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            remaining = left.count() > 0 ? static_cast<int>(left.count()) : 0;
        }
        pollfd p{fd_, POLLIN, 0};
        int ready = poll(&p, 1, remaining);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        if (manualReset_) return true;
        // Auto-reset: the read that takes the count is the one waiter released.
        uint64_t value;
        if (read(fd_, &value, sizeof(value)) == sizeof(value)) return true;
        if (remaining == 0) return false;
    }
}

void EventObject::release() {
    if (references_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
}

}  // namespace platform
