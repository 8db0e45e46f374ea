// `vexa-pal watch`: opens the bus and prints a line per hook the library
// raises until SIGINT or SIGTERM (0, after "stopped") or until the bus's
// connection to the root driver fails for good (1, saying why).
//
// Thread: the main thread, which blocked SIGINT and SIGTERM before any other
// thread started, so that only the watch's own thread receives them.
#pragma once

#include "pal_hooks.h"
#include "pal_library.h"

namespace vexa::pal_tool {

// Blocks SIGINT and SIGTERM in the calling thread and in every thread it starts from now on.
void BlockStopSignals();

int Watch(pal_system& system, hook_log& log);

}  // namespace vexa::pal_tool
