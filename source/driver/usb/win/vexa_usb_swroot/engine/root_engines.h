// The engines of the driver's root devices, listed while they run. An outside
// driver hands handles back (its adapter, its streams) through functions that
// take nothing else: such a handle is looked for among what the engines hold,
// by its address alone, and only what is found is used.
//
// Lock: one driver-wide wait lock, taken before any engine's lock; a visit
// holds it throughout, so an engine leaves the list only between visits.
#pragma once

#include "platform/kmdf/wdf.h"

class AudioEngine;

// At driver entry (after the framework driver exists) and unload. PASSIVE_LEVEL.
[[nodiscard]] NTSTATUS RootEnginesInit();
void RootEnginesCleanup();

// From the engine's start and its destructor; unlisting waits for a visit under way. PASSIVE_LEVEL.
void ListRootEngine(AudioEngine* engine);
void UnlistRootEngine(AudioEngine* engine);

// Visits the listed engines until `visit` answers true; whether one did. PASSIVE_LEVEL.
bool VisitRootEngines(bool (*visit)(AudioEngine* engine, PVOID context), PVOID context);

template <typename Fn>
bool ForEachRootEngine(Fn fn) {
    return VisitRootEngines([](AudioEngine* engine, PVOID context) { return (*static_cast<Fn*>(context))(engine); },
                            &fn);
}
