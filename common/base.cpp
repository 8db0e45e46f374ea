#define LOG_FILE_NUMBER 1001

#include "common/base.h"

#include <algorithm>
#include <iterator>
#include <new>
#include <vector>

#include "common/library_trace.h"
#include "common/releases.h"
#include "common/xptn.h"

namespace mrak::vexa {
namespace {

constexpr const char* kFile = "..\\..\\common\\mrak_vexa_pal_win";
constexpr uint32_t kLineInitialise = 159;
constexpr uint32_t kLineEnter = 174;
constexpr uint32_t kLineNotMadeByNew = 186;

// Blocks base::operator new handed out on this thread whose object's base
// part is not constructed yet (a new-initializer may make other library
// objects before it is).
struct new_block {
    const unsigned char* start;
    std::size_t size;
};
thread_local std::vector<new_block> t_unclaimed;

// Whether `object` lies in a block base::operator new handed out on this
// thread; that block is then claimed.
bool ClaimBlock(const void* object) {
    const auto* at = static_cast<const unsigned char*>(object);
    for (auto it = t_unclaimed.rbegin(); it != t_unclaimed.rend(); ++it) {
        if (at >= it->start && at < it->start + it->size) {
            t_unclaimed.erase(std::next(it).base());
            return true;
        }
    }
    return false;
}

// Made on first use in storage of its own and never destroyed: a library
// thread (one whose system was let go from a hook, one still polling) may
// take the lock while the program's static objects are being destroyed at
// exit, so it must outlive all of them. The reference below makes that
// first use happen during static initialisation, before any library object
// can exist.
base_lock& the_lock() {
    alignas(base_lock) static unsigned char storage[sizeof(base_lock)];
    static base_lock* const lock = new (storage) base_lock;
    return *lock;
}
[[maybe_unused]] base_lock& g_constructed = the_lock();

}  // namespace

base_lock::base_lock() {
    try {
        m_section = CRITICAL_SECTION{};
        InitializeCriticalSection(&m_section);
    } catch (...) {
        throw make_xptn<xptn_resource>(kFile, kLineInitialise, "base_lock::base_lock", "true");
    }
}

base_lock::~base_lock() { DeleteCriticalSection(&m_section); }

void base_lock::_lock() {
    try {
        EnterCriticalSection(&m_section);
    } catch (...) {
        throw make_xptn<xptn_resource>(kFile, kLineEnter, "base_lock::_lock", "true");
    }
}

void base_lock::unlock() { LeaveCriticalSection(&m_section); }

bool base_lock::try_lock() { return TryEnterCriticalSection(&m_section) != FALSE; }

void* base::operator new(std::size_t size) {
    void* block = ::operator new(size);
    t_unclaimed.push_back({static_cast<const unsigned char*>(block), size});
    return block;
}

void base::operator delete(void* block) noexcept {
    // A constructor that threw leaves its block unclaimed.
    auto it = std::find_if(t_unclaimed.begin(), t_unclaimed.end(),
                           [&](const new_block& b) { return b.start == block; });
    if (it != t_unclaimed.end()) t_unclaimed.erase(it);
    ::operator delete(block);
}

base::base() : m_madeByNew(ClaimBlock(this)) {}

void base::_lock() { the_lock()._lock(); }
void base::unlock() { the_lock().unlock(); }
bool base::try_lock() { return the_lock().try_lock(); }

void base::add_ref(uint64_t id) {
    if (!m_madeByNew) {
        // On the stack, a member, or made some other way: the library would
        // free memory that is not its own when the last holder went.
        TRACE(kLibError, this, id);
        throw make_xptn<xptn_internal>(kFile, kLineNotMadeByNew, "mrak::vexa::base::add_ref", "!m_madeByNew");
    }
    lock_scope hold;
    m_holders.push_back(id);
}

bool base::release_ref(uint64_t id) {
    release_pass::releasing();  // before the lock: a waiter never misses what follows
    lock_scope hold;
    auto it = std::find(m_holders.begin(), m_holders.end(), id);
    if (it == m_holders.end()) {
        // No caller releases an id it never added; the list stays as it is.
        TRACE(kLibError, this, id);
        return false;
    }
    m_holders.erase(it);
    // Doomed (or deciding further up the stack): the id goes all the same, so
    // no holder list keeps the id of an object that is being deleted.
    if (m_released) return false;
    m_released = true;
    if (orphaned()) return true;  // m_released stays set: the caller deletes
    m_released = false;
    return false;
}

bool base::orphaned() {
    if (m_walking) return true;  // the walk came round a cycle to this object
    m_walking = true;
    bool answer = true;
    for (uint64_t holder : m_holders) {
        if (!answer) break;
        answer = holder != 0 && reinterpret_cast<base*>(holder)->orphaned();
    }
    m_walking = false;
    return answer;
}

size_t base::holder_count() {
    lock_scope hold;
    return m_holders.size();
}

}  // namespace mrak::vexa
