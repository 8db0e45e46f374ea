// The driver's list of running engines (see root_engines.h).
#define LOG_FILE_NUMBER 175

#include "engine/root_engines.h"

#include "device/lock_scope.h"
#include "engine/audio_engine.h"
#include "logger.h"

using namespace vexa::log;

namespace {

WDFWAITLOCK g_enginesLock = nullptr;   // from driver entry to unload
AudioEngine* g_firstEngine = nullptr;  // guarded by g_enginesLock, linked through nextListed

}  // namespace

NTSTATUS RootEnginesInit() {
    PAGED_CODE();
    g_firstEngine = nullptr;
    NTSTATUS status = WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &g_enginesLock);
    if (!NT_SUCCESS(status)) {
        g_enginesLock = nullptr;
        TRACE(kLogError | kLogInterface, status);
    }
    return status;
}

// Every root device (and with it its engine) has gone by now.
void RootEnginesCleanup() {
    PAGED_CODE();
    if (g_enginesLock != nullptr) WdfObjectDelete(g_enginesLock);
    g_enginesLock = nullptr;
    g_firstEngine = nullptr;
}

void ListRootEngine(AudioEngine* engine) {
    PAGED_CODE();
    if (g_enginesLock == nullptr) return;
    WaitLockScope lock(g_enginesLock);
    engine->nextListed = g_firstEngine;
    g_firstEngine = engine;
}

void UnlistRootEngine(AudioEngine* engine) {
    PAGED_CODE();
    if (g_enginesLock == nullptr) return;
    WaitLockScope lock(g_enginesLock);
    for (AudioEngine** link = &g_firstEngine; *link != nullptr; link = &(*link)->nextListed) {
        if (*link != engine) continue;
        *link = engine->nextListed;
        engine->nextListed = nullptr;
        return;
    }
}

bool VisitRootEngines(bool (*visit)(AudioEngine* engine, PVOID context), PVOID context) {
    PAGED_CODE();
    if (g_enginesLock == nullptr) return false;
    WaitLockScope lock(g_enginesLock);
    for (AudioEngine* engine = g_firstEngine; engine != nullptr; engine = engine->nextListed) {
        if (visit(engine, context)) return true;
    }
    return false;
}
