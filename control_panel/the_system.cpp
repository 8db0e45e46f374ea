#include "the_system.h"

#include "panel_trace.h"
#include "platform/win32/user_process.h"

using mrak::vexa::lock_scope;
using mrak::vexa::reference;

namespace {

// Trace points: this file's number and fixed lines.
constexpr ULONG kFileNumber = 1202;
constexpr ULONG kIdChanged = vexa::log::TracePointId(kFileNumber, 35);
constexpr ULONG kIdBusPathChanged = vexa::log::TracePointId(kFileNumber, 63);
constexpr ULONG kIdBusPathSame = vexa::log::TracePointId(kFileNumber, 67);
constexpr ULONG kIdChangedBusHasDevices = vexa::log::TracePointId(kFileNumber, 72);
constexpr ULONG kIdChangedBusWithoutDevices = vexa::log::TracePointId(kFileNumber, 76);
constexpr ULONG kIdOnException = vexa::log::TracePointId(kFileNumber, 84);
static_assert(kIdChanged == 0x964023 && kIdBusPathChanged == 0x96403F && kIdBusPathSame == 0x964043 &&
              kIdChangedBusHasDevices == 0x964048 && kIdChangedBusWithoutDevices == 0x96404C &&
              kIdOnException == 0x964054);

}  // namespace

reference<TheSystem> TheSystem::create_instance() {
    reference<TheSystem> temporary(new TheSystem, 0);
    try {
        temporary->create();
    } catch (...) {
        temporary->close();
        throw;  // the temporary's release deletes the system
    }
    return temporary;
}

void TheSystem::changed() {
    cpl::trace::info(kIdChanged);
    mrak::vexa::system<event_bus>::changed();
    lock_scope hold;
    bool pathChanged = false;
    bool withDevices = false;
    for (const reference<event_bus>& bus : buses()) {
        if (bus->path() == bus_path) continue;
        bus_path = bus->path();
        pathChanged = true;
        withDevices = withDevices || !bus->empty();
    }
    cpl::trace::info(pathChanged ? kIdBusPathChanged : kIdBusPathSame);
    cpl::trace::info(withDevices ? kIdChangedBusHasDevices : kIdChangedBusWithoutDevices);
    sendActionMessage("bus changed");
}

void TheSystem::on_exception(const mrak::exception::base&) {
    cpl::trace::info(kIdOnException);
    settings_error.store(1);
}

namespace cpl {

reference<event_bus> LibrarySystem::firstBus() {
    std::vector<reference<event_bus>> listed = system->buses();
    return listed.empty() ? reference<event_bus>() : listed.front();
}

std::unique_ptr<PanelSystem> createLibrarySystem() {
    if (platform::win32::current_process() == nullptr) return nullptr;
    return std::make_unique<LibrarySystem>(TheSystem::create_instance());
}

}  // namespace cpl
