#include "common/releases.h"

#include <condition_variable>
#include <mutex>
#include <vector>

namespace mrak::vexa {
namespace {

// The threads to join and the passes under way that let something go. Made
// on first use, so it is destroyed at exit before whatever those threads
// rely on; its destructor waits for them.
class release_list {
public:
    ~release_list() { wait(); }

    void add(HANDLE thread) {
        std::lock_guard hold(m_lock);
        m_threads.push_back(thread);
        m_changed.notify_all();
    }
    void pass_pending() {
        std::lock_guard hold(m_lock);
        ++m_passes;
    }
    void pass_done() {
        std::lock_guard hold(m_lock);
        --m_passes;
        m_changed.notify_all();
    }

    void wait() {
        for (;;) {
            std::vector<HANDLE> taken;
            {
                std::unique_lock hold(m_lock);
                m_changed.wait(hold, [&] { return m_passes == 0 || !m_threads.empty(); });
                if (m_threads.empty()) return;  // and no pass is under way
                taken.swap(m_threads);
            }
            for (HANDLE thread : taken) {
                WaitForSingleObject(thread, INFINITE);
                CloseHandle(thread);
            }
        }
    }

private:
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<HANDLE> m_threads;  // guarded by m_lock: to be joined and closed
    int m_passes = 0;               // guarded by m_lock: passes under way that let something go
};

release_list& releases() {
    static release_list list;
    return list;
}

thread_local release_pass* t_pass = nullptr;

}  // namespace

release_pass::release_pass() : m_outer(t_pass) { t_pass = this; }

release_pass::~release_pass() {
    t_pass = m_outer;
    if (m_pending) releases().pass_done();
}

void release_pass::releasing() {
    release_pass* pass = t_pass;
    if (pass == nullptr || pass->m_pending) return;
    releases().pass_pending();
    pass->m_pending = true;
}

void join_later(HANDLE thread) { releases().add(thread); }

void wait_for_releases() { releases().wait(); }

}  // namespace mrak::vexa
