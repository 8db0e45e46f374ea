#define LOG_FILE_NUMBER 1001

#include "common/base.h"

#include <algorithm>

#include "common/library_trace.h"
#include "common/xptn.h"

namespace mrak::vexa {
namespace {

constexpr const char* kFile = "..\\..\\common\\mrak_vexa_pal_win";
constexpr uint32_t kLineInitialise = 159;
constexpr uint32_t kLineEnter = 174;

// Made on first use; the reference below makes that first use happen during
// static initialisation, before any library object can exist.
base_lock& the_lock() {
    static base_lock lock;
    return lock;
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

void base::_lock() { the_lock()._lock(); }
void base::unlock() { the_lock().unlock(); }
bool base::try_lock() { return the_lock().try_lock(); }

void base::add_ref(uint64_t id) {
    lock_scope hold;
    m_holders.push_back(id);
}

bool base::release_ref(uint64_t id) {
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
