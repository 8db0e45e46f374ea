// Where the library's own threads leave what they cannot finish themselves.
// A hook may let go of the last hold on its own bus or system (or on the
// system above its bus); deleting that object on the library thread that
// runs the hook leaves a destructor running on a thread nobody waits for,
// which the program can outlive. So an object doomed during a library
// thread's pass is deleted on a thread of its own, and a library thread that
// was told to stop from its own hook is joined here too: wait_for_releases
// waits for every such end, and runs once more at program exit.
//
// Threads: passes run on the library's threads; wait_for_releases on any
// thread that does not hold the library lock (the deletions need it).
#pragma once

#include "platform/win32/windows.h"

namespace mrak::vexa {

// One pass of a library thread over its object (a notification's dispatch, a
// rescan), made before the pass takes its own hold on the object and ended
// after it lets that hold go. While one is under way on a thread, a release
// there that dooms an object hands the deletion over (base::destroy). A pass
// in which anything was let go counts as pending for wait_for_releases until
// it ends: the hold it lets go last may be what dooms an object.
class release_pass {
public:
    release_pass();
    ~release_pass();
    release_pass(const release_pass&) = delete;
    release_pass& operator=(const release_pass&) = delete;

    // A hold is about to be let go on the calling thread (base::release_ref).
    static void releasing();

    // Runs `routine`(`parameter`) on a thread of its own that
    // wait_for_releases joins, when the calling thread is on a pass; false
    // (nothing run) otherwise, or when no thread could be made.
    static bool hand_over(LPTHREAD_START_ROUTINE routine, LPVOID parameter);

private:
    release_pass* m_outer;    // this thread's pass around this one, if any
    bool m_pending = false;   // this thread only: counted as pending by the release list
};

// Takes over the handle of a library thread that ends by itself (told to
// stop from its own hook), so wait_for_releases joins it.
void join_later(HANDLE thread);

// Waits until every deletion handed over has run, every thread handed over
// has ended, and no pass that handed something over is still under way (its
// end may hand over more). Call it without the library lock.
void wait_for_releases();

}  // namespace mrak::vexa
