// Every library object derives from mrak::vexa::base: a holder list that
// serves as a reference count able to see through cycles, and the library's
// locking, which is one process-wide re-entrant lock shared by every object.
// Objects hold each other through mrak::vexa::reference, a target pointer
// with a holder id: 0 for a holder outside the library (the application),
// else the identity of the holding library object.
//
// Lock order: there is only the one lock. Holder lists and the walk flags are
// touched only under it, and an object whose last chain to an outside holder
// goes is deleted while the releasing thread still holds it, so no other
// thread ever sees it half destroyed. The application's threads may block on
// the lock; the library's own threads never do: they poll it (poll_lock) and
// give up when their object is being closed, which is what lets a closing
// thread hold the lock while it waits for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <type_traits>
#include <utility>

#include "platform/win32/windows.h"

namespace mrak::vexa {

// The one lock, a Windows critical section. The library's one instance is
// never destroyed (see base.cpp); the destructor serves other instances.
class base_lock {
public:
    base_lock();
    ~base_lock();
    base_lock(const base_lock&) = delete;
    base_lock& operator=(const base_lock&) = delete;

    void _lock();
    void unlock();
    bool try_lock();

private:
    CRITICAL_SECTION m_section;
};

template <typename T>
class reference;

// A library object's identity as the holder of another. Only the object
// itself makes it (base::holder_id), so the ids of library objects stay
// inside the library: code outside holds as the outside holder, 0.
class holder_id_t {
public:
    uint64_t value() const { return m_value; }

private:
    friend class base;
    explicit constexpr holder_id_t(uint64_t value) : m_value(value) {}
    uint64_t m_value;
};

// The holder outside the library, written as the literal 0: any other value
// (or a value not known when compiling) does not compile.
struct outside_holder {
    consteval outside_holder(int zero) {
        if (zero != 0) throw "the outside holder is 0";
    }
};

// Library objects are made with new and held at once by a reference; the
// library deletes them itself when their last holder goes. So a library
// class cannot be made on the stack, as a member or by a plain delete
// (its destructor is not public), and an object of an application's class
// that was made another way is refused with xptn_internal the first time
// anything would hold it, rather than freed by the library later.
class base {
public:
    base(const base&) = delete;
    base& operator=(const base&) = delete;

    // Marks the memory as the library's to free (see the constructor).
    static void* operator new(std::size_t size);
    static void operator delete(void* block) noexcept;

    // Whichever object they are called for, they act on the one static lock.
    static void _lock();
    static void unlock();
    static bool try_lock();

    // How many holds the object has now (for diagnostics and tests).
    size_t holder_count();

protected:
    base();
    // Virtual so that a reference to any library object (the bus's reference
    // to its system included) deletes the whole object.
    virtual ~base() = default;

    // This object's holder id in the lists of the objects it holds.
    holder_id_t holder_id() const { return holder_id_t(reinterpret_cast<uint64_t>(this)); }

    // Throws xptn_internal for an object that was not made with new.
    void add_ref(uint64_t id);
    // True when the caller must delete the object (through its virtual destructor).
    bool release_ref(uint64_t id);
    // True when no chain of holders from this object reaches an outside holder. Caller holds the lock.
    bool orphaned();

private:
    template <typename T>
    friend class reference;

    // Deletes an object whose last holder went, on the releasing thread with
    // the lock held (a library thread's pass that does so is waited for by
    // wait_for_releases, releases.h).
    static void destroy(base* object) { delete object; }

    std::deque<uint64_t> m_holders;  // guarded by the lock
    bool m_walking = false;          // guarded by the lock: set while the orphan walk visits this object
    bool m_released = false;         // guarded by the lock: a release is deciding, or the object is doomed
    const bool m_madeByNew;          // set once by the constructor
};

// Holds the library lock for a scope, releasing it on every exit.
class lock_scope {
public:
    lock_scope() { base::_lock(); }
    ~lock_scope() { base::unlock(); }
    lock_scope(const lock_scope&) = delete;
    lock_scope& operator=(const lock_scope&) = delete;
};

// A library thread's way to the lock: never blocks. Sleeps kLockPollMs on the
// library clock between attempts and gives up (false) as soon as `keep_going`
// answers false; true with the lock taken.
inline constexpr uint32_t kLockPollMs = 1;
template <typename KeepGoing>
bool poll_lock(KeepGoing keep_going);

// A holder of one library object. The holder id is fixed when the reference
// is made; copies carry the same id, and assignment keeps the target's own.
// Not itself thread-safe: each reference belongs to the code that holds it.
template <typename T>
class reference {
public:
    reference() noexcept = default;
    // Held from outside the library: reference<T>(object, 0).
    reference(T* target, outside_holder) : reference(target, uint64_t{0}, id_as_is{}) {}
    // Held by a library object: reference<T>(object, holder_id()).
    reference(T* target, holder_id_t holder) : reference(target, holder.value(), id_as_is{}) {}
    reference(const reference& other) : reference(other.m_target, other.m_holder, id_as_is{}) {}
    // A reference to a derived object held as one to its base class, with the same id.
    template <typename U>
        requires(std::is_convertible_v<U*, T*> && !std::is_same_v<U, T>)
    reference(const reference<U>& other) : reference(other.get(), other.holder(), id_as_is{}) {}
    ~reference() { release(); }

    // Takes the new target before letting the old one go, so assigning a
    // reference to itself, or to another path to the same object, never
    // deletes what it is about to hold.
    reference& operator=(const reference& other) {
        lock_scope hold;
        T* next = other.m_target;
        if (next != nullptr) next->add_ref(m_holder);
        release();
        m_target = next;
        return *this;
    }

    // Lets the target go; deletes it when no outside holder reaches it any
    // more, still under the lock. The pointer is cleared in every case.
    void release() {
        if (m_target == nullptr) return;
        lock_scope hold;
        T* target = std::exchange(m_target, nullptr);
        if (target->release_ref(m_holder)) base::destroy(target);
    }

    T* get() const { return m_target; }
    T* operator->() const { return m_target; }
    T& operator*() const { return *m_target; }
    explicit operator bool() const { return m_target != nullptr; }
    uint64_t holder() const { return m_holder; }

private:
    template <typename U>
    friend class reference;

    struct id_as_is {};
    reference(T* target, uint64_t holder, id_as_is) : m_target(target), m_holder(holder) {
        if (m_target != nullptr) m_target->add_ref(m_holder);
    }

    T* m_target = nullptr;
    uint64_t m_holder = 0;
};

}  // namespace mrak::vexa

#include "common/pal_time.h"

namespace mrak::vexa {

template <typename KeepGoing>
bool poll_lock(KeepGoing keep_going) {
    for (;;) {
        if (!keep_going()) return false;
        pal::sleep(kLockPollMs);
        if (base::try_lock()) return true;
    }
}

}  // namespace mrak::vexa
