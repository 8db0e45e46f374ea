// Where the library waits for what its own threads finish by themselves. A
// hook may let go of the last hold on its own bus or system (or on the
// system above its bus): the object is then deleted on the library thread
// that runs the hook, once its pass is over, and that thread, told to stop
// from within, ends by itself. Nobody joined it, so the program (or a test)
// could end while the destructor still ran. Here every pass that lets go of
// anything counts until it is over, and every thread stopped from within is
// joined: wait_for_releases waits for both, and runs once more at program
// exit, before the objects such a thread may still use are destroyed.
//
// Threads: passes run on the library's threads; wait_for_releases on any
// thread that does not hold the library lock (a pass may be waiting for it).
#pragma once

#include "platform/win32/windows.h"

namespace mrak::vexa {

// One pass of a library thread over its object (a notification's dispatch, a
// rescan), made before the pass takes its own hold on the object and ended
// after it lets that hold go. A pass in which anything is let go counts as
// pending for wait_for_releases from that release until it ends: the hold
// it lets go last may be what deletes its object (and what that object held).
class release_pass {
public:
    release_pass();
    ~release_pass();
    release_pass(const release_pass&) = delete;
    release_pass& operator=(const release_pass&) = delete;

    // A hold is about to be let go on the calling thread (base::release_ref).
    static void releasing();

private:
    release_pass* m_outer;   // this thread's pass around this one, if any
    bool m_pending = false;  // this thread only: counted as pending by the release list
};

// Takes over the handle of a library thread that ends by itself (told to
// stop from its own hook), so wait_for_releases joins it.
void join_later(HANDLE thread);

// Waits until no pass that let go of anything is under way and every thread
// handed over has ended. Call it without the library lock.
void wait_for_releases();

}  // namespace mrak::vexa
