// The listeners of one of the panel's event classes (bus or device), not
// owned, in order of adding. Every call takes the library's one lock
// (re-entrant: the library already holds it when it raises a hook). A
// forwarding walks a copy of the list and calls a listener only while it is
// still listed, so a listener that removes itself, or is destroyed by another
// listener's call, is never reached afterwards.
#pragma once

#include <algorithm>
#include <deque>
#include <vector>

#include "common/base.h"

template <typename Listener>
class listener_list {
public:
    void add(Listener* l) {
        mrak::vexa::lock_scope hold;
        m_listeners.push_back(l);
    }
    // Every entry of `l`: a listener may be listed more than once.
    void remove(Listener* l) {
        mrak::vexa::lock_scope hold;
        m_listeners.erase(std::remove(m_listeners.begin(), m_listeners.end(), l), m_listeners.end());
    }
    void clear() {
        mrak::vexa::lock_scope hold;
        m_listeners.clear();
    }
    size_t size() {
        mrak::vexa::lock_scope hold;
        return m_listeners.size();
    }
    template <typename Call>
    void forward(Call call) {
        mrak::vexa::lock_scope hold;
        const std::vector<Listener*> listeners(m_listeners.begin(), m_listeners.end());
        for (Listener* l : listeners) {
            if (std::find(m_listeners.begin(), m_listeners.end(), l) != m_listeners.end()) call(l);
        }
    }

private:
    std::deque<Listener*> m_listeners;  // guarded by the library lock
};
