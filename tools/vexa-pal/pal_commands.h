// vexa-pal's one-shot commands on an open bus: the versions, the bus
// settings, and the setters, which wait for the root driver's notification
// and judge what it took from the library's cached state. Each returns the
// program's exit status (0, or 1 after saying why on standard error).
//
// Thread: the main thread, without the library lock.
#pragma once

#include <cstdint>
#include <string>

#include "pal_hooks.h"
#include "pal_library.h"

namespace vexa::pal_tool {

// A setter on the command line: the bus's setter and getter of the value.
struct Setter {
    const char* name;
    const char* what;
    const char* unit;
    void (mrak::vexa::bus_impl::*set)(uint32_t);
    uint32_t (mrak::vexa::bus_impl::*get)();
};

// Null for a name that is not a setter's.
const Setter* FindSetter(const std::string& name);

int Version(pal_bus& bus);
int Settings(pal_bus& bus);
int Set(pal_bus& bus, hook_log& log, const Setter& setter, uint32_t value);

}  // namespace vexa::pal_tool
